"""fwdl station with a PostgreSQL target: eight units, the server stopped
for the middle four. Every unit's row arrives once, in order; while some
wait the page is told how many, and the station delivers them by itself.
A private cluster in a temporary folder, on 127.0.0.1 only, through
psqlodbcw.so named by its file; as root the server runs as nobody."""

import glob
import json
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

import rig


class Postgres:
    def __init__(self, folder):
        initdb = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        driver = glob.glob("/usr/lib/*/odbc/psqlodbcw.so")
        if not initdb or not driver:
            raise unittest.SkipTest("no PostgreSQL server or ODBC driver")
        self.bin = os.path.dirname(initdb[-1])
        self.data = os.path.join(folder, "data")
        self.as_user = []
        pw = os.path.join(folder, "pw")
        with open(pw, "w") as f:
            f.write("station-pw\n")
        if os.geteuid() == 0:
            self.as_user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"]
            for path in (folder, pw):
                shutil.chown(path, "nobody", "nogroup")
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        self.port = s.getsockname()[1]
        s.close()
        subprocess.run(self.as_user + [self.bin + "/initdb", "-D", self.data, "-U", "fwdl",
                                       "--pwfile", pw, "--auth=scram-sha-256", "-E", "UTF8",
                                       "--locale=C"], check=True, stdout=subprocess.DEVNULL)
        self.target = ("odbc:Driver=%s;Server=127.0.0.1;Port=%d;Database=postgres;Uid=fwdl;"
                       "Pwd=station-pw" % (driver[0], self.port))
        self.start()

    def start(self):
        subprocess.run(self.as_user + [
            self.bin + "/pg_ctl", "-D", self.data, "-l", self.data + "/../log", "-w", "-o",
            "-p %d -k %s -c listen_addresses=127.0.0.1" % (self.port, self.data), "start"],
            check=True, stdout=subprocess.DEVNULL)

    def stop(self):
        subprocess.run(self.as_user + [self.bin + "/pg_ctl", "-D", self.data, "-m", "fast", "-w",
                                       "stop"], stdout=subprocess.DEVNULL)


class StationToADatabase(unittest.TestCase):
    def test_eight_units_with_the_server_stopped_for_the_middle_four(self):
        with tempfile.TemporaryDirectory() as folder:
            db = Postgres(folder)
            sims = [rig.Sim(folder, "--flash-ms", "100") for _ in range(8)]
            spool = os.path.join(folder, "spool.jsonl")
            station = rig.Station([s.path for s in sims], rig.image_file(folder, 2000),
                                  extra=("--record", db.target, "--spool", spool))

            def run(slots):
                for i in slots:
                    status, _, body = station.post("/api/slots/%d/start" % i,
                                                   {"serial": "SN-%d" % (i + 1)})
                    self.assertEqual(status, 202, body)
                def ended():  # answering OK to each instruction on the way
                    state = station.state()["slots"]
                    for i in slots:
                        if state[i]["question"] is not None:
                            station.post("/api/slots/%d/answer" % i, {"answer": "ok"})
                    return not any(state[i]["busy"] for i in slots)
                rig.wait_for(ended, what="slots %s to end" % list(slots))

            def rows():
                out = subprocess.run([rig.FWDL, "records", db.target, "--since", "today",
                                      "--format", "json"], capture_output=True, text=True)
                return [line for line in out.stdout.splitlines() if line]

            try:
                run([0, 1])
                db.stop()
                run([2, 3, 4, 5])
                self.assertEqual(station.state()["waiting"], 4)
                db.start()
                # The station delivers by itself, within its 30 s.
                rig.wait_for(lambda: station.state()["waiting"] == 0, timeout=90,
                             what="the station to deliver the four")
                run([6, 7])
                found = [json.loads(line) for line in rows()]
                table = subprocess.run([rig.FWDL, "records", db.target, "--since", "today"],
                                       capture_output=True, text=True).stdout
                errors = station.stderr()
            finally:
                self.assertEqual(station.stop(), 0)
                for s in sims:
                    s.close()
                db.stop()
            print(table)
            serials = [r["serial"] for r in found]
            self.assertEqual(sorted(serials), ["SN-%d" % i for i in range(1, 9)], table)
            self.assertEqual([r["outcome"] for r in found], ["success"] * 8, table)
            self.assertNotIn("station-pw", errors + table)


if __name__ == "__main__":
    unittest.main()
