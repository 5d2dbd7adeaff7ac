"""fwdl station's HTTP interface with a real client (Python's http.client):
each refusal changes nothing, and the events of a whole run arrive in order.
Usage: http_test.py (FWDL and INSTRUMENT_SIM name the programs)."""

import hashlib
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest

import rig


# The station counts 127.0.0.0/8 and ::1 as this machine's loopback, and
# takes the IPv4 loopback in IPv6's form for an address beyond it; the
# connections still go to 127.0.0.1.
BEYOND = "[::ffff:127.0.0.1]:0"


class EventStream:
    """The station's /events, read on a thread of its own."""

    def __init__(self, station):
        self.connection = http.client.HTTPConnection("127.0.0.1", station.port, timeout=120)
        self.connection.request("GET", "/events", headers={"Host": station.host})
        self.socket = self.connection.sock  # the reply keeps it open past close()
        self.reply = self.connection.getresponse()
        self.events = []
        self.lock = threading.Lock()
        if self.reply.status == 200:  # else the reply tells why, to read at once
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        name = None
        try:
            for raw in self.reply.fp:
                line = raw.decode().rstrip("\n")
                if line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("data: "):
                    with self.lock:
                        self.events.append((name, json.loads(line[6:])))
        except (OSError, ValueError):
            pass

    def of_slot(self, slot):
        with self.lock:
            return [e for name, e in self.events if name == "slot" and e["slot"] == slot]

    def close(self):
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # the station closed it first
        self.connection.close()


class StationHttp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.image = rig.image_file(cls.folder.name, 5000)
        cls.record = os.path.join(cls.folder.name, "units.jsonl")
        cls.sims = [rig.Sim(cls.folder.name, "--flash-ms", "100") for _ in range(2)]
        cls.station = rig.Station([s.path for s in cls.sims], cls.image, cls.record)

    @classmethod
    def tearDownClass(cls):
        code = cls.station.stop()
        for sim in cls.sims:
            sim.close()
        cls.folder.cleanup()
        assert code == 0, cls.station.stderr()

    def test_every_refusal_is_a_clear_4xx_and_changes_nothing(self):
        s = self.station
        before, records_before = s.state(), rig.records(self.record)
        port = str(s.port)
        json_type = {"Content-Type": "application/json", "X-Station-Token": s.token}
        start = json.dumps({"serial": "SN-1"})
        cases = [
            ("a rebound name", "GET", "/", None, {}, "attacker.test:" + port, 403),
            ("a rebound name that starts", "POST", "/api/slots/0/start", start, json_type,
             "attacker.test:" + port, 403),
            ("the right address on another port", "GET", "/api/state", None, {},
             "127.0.0.1:1", 403),
            ("no token", "POST", "/api/slots/0/start", start,
             {"Content-Type": "application/json"}, None, 403),
            ("a wrong token", "POST", "/api/slots/0/start", start,
             {"Content-Type": "application/json", "X-Station-Token": "0" * 32}, None, 403),
            ("a form's body", "POST", "/api/slots/0/start", "serial=SN-1",
             {"Content-Type": "application/x-www-form-urlencoded", "X-Station-Token": s.token},
             None, 415),
            ("an unknown slot", "POST", "/api/slots/2/start", start, json_type, None, 404),
            ("no slot number", "POST", "/api/slots/x/start", start, json_type, None, 404),
            ("an unknown path", "GET", "/etc/passwd", None, {}, None, 404),
            ("a start by GET", "GET", "/api/slots/0/start", None, {}, None, 405),
            ("malformed JSON", "POST", "/api/slots/0/start", "{\"serial\":", json_type, None, 400),
            ("no serial", "POST", "/api/slots/0/start", "{}", json_type, None, 400),
            ("a serial too long", "POST", "/api/slots/0/start",
             json.dumps({"serial": "S" * 65}), json_type, None, 400),
            ("an answer of neither", "POST", "/api/slots/0/answer",
             json.dumps({"answer": "yes"}), json_type, None, 400),
            ("an answer with no question", "POST", "/api/slots/0/answer",
             json.dumps({"answer": "ok"}), json_type, None, 409),
            ("an oversized body", "POST", "/api/slots/0/start",
             json.dumps({"serial": "SN-1", "pad": "x" * 5000}), json_type, None, 413),
        ]
        for what, method, path, body, headers, host, status in cases:
            with self.subTest(what):
                got, _, text = s.request(method, path, body, headers, host)
                self.assertEqual(got, status, text)
                self.assertIn("error", json.loads(text))
        # A request that is no HTTP at all.
        with socket.create_connection(("127.0.0.1", int(port)), timeout=30) as raw:
            raw.sendall(b"HELLO THERE\r\n\r\n")
            self.assertTrue(raw.recv(100).startswith(b"HTTP/1.1 400"))
        self.assertEqual(s.state(), before)
        self.assertEqual(rig.records(self.record), records_before)

    def test_a_whole_run_streams_its_events_and_takes_one_answer(self):
        s = self.station
        stream = EventStream(s)
        try:
            status, _, body = s.post("/api/slots/1/start", {"serial": "SN-0042"})
            self.assertEqual(status, 202, body)
            again = s.post("/api/slots/1/start", {"serial": "SN-0043"})
            self.assertEqual(again[0], 409, "a second start on a busy slot")
            rig.wait_for(lambda: any(e["event"] == "question" for e in stream.of_slot(1)),
                         what="the instructions")
            # Two answers at once, on one connection: the second must not
            # wait in fwdl's input for the next question.
            body = json.dumps({"answer": "ok"})
            request = ("POST /api/slots/1/answer HTTP/1.1\r\nHost: %s\r\n"
                       "Content-Type: application/json\r\nX-Station-Token: %s\r\n"
                       "Content-Length: %d\r\n\r\n%s" % (s.host, s.token, len(body), body))
            port = s.port
            with socket.create_connection(("127.0.0.1", port), timeout=30) as raw:
                raw.sendall((request * 2).encode())
                replies = b""
                while replies.count(b"HTTP/1.1 ") < 2 or not replies.endswith(b"\n"):
                    more = raw.recv(4096)
                    self.assertTrue(more, replies)
                    replies += more
            self.assertEqual(re.findall(rb"HTTP/1.1 (\d+)", replies), [b"200", b"409"],
                             "one answer to one question")
            rig.wait_for(lambda: any(e["event"] == "exit" for e in stream.of_slot(1)),
                         what="the end of the run")
            events = stream.of_slot(1)
        finally:
            stream.close()
        kinds = [e["event"] for e in events]
        self.assertEqual(kinds[:3], ["run", "start", "question"], kinds)
        self.assertEqual(kinds[-2:], ["end", "exit"])
        answered = [e for e in events if e["event"] == "box" and e["question"]]
        self.assertEqual([e["answer"] for e in answered], ["ok"])
        progress = [e for e in events if e["event"] == "progress" and e["text"].endswith("% done")]
        self.assertEqual(progress[-1]["sent"], 5000)
        self.assertEqual([e["sent"] for e in progress], sorted(e["sent"] for e in progress))
        exit_event = events[-1]
        self.assertEqual((exit_event["verdict"], exit_event["serial"]), ("good", "SN-0042"))
        self.assertEqual(exit_event["told"], "Download comleted.\r\n\r\nPower off instrument.")
        self.assertEqual(exit_event["instrument_text"], "Flashed successfully...\r\n>")
        self.assertEqual([r["serial"] for r in rig.records(self.record)], ["SN-0042"])
        tally = s.state()["tally"]
        self.assertEqual((tally["good"], tally["failed"]), (1, 0))
        # A page that connects now sees the run from its start.
        late = EventStream(s)
        try:
            rig.wait_for(lambda: [e["event"] for e in late.of_slot(1)] == kinds,
                         what="the run replayed")
        finally:
            late.close()


class StationStart(unittest.TestCase):
    def test_what_cannot_work_is_refused_before_anything_listens(self):
        with tempfile.TemporaryDirectory() as folder:
            sim = rig.Sim(folder)
            alias = os.path.join(folder, "alias")
            os.symlink(sim.path, alias)
            image = rig.image_file(folder, 100)
            cases = [
                (["--slot", sim.path, "--slot", alias, image], 2, "lead to the same device"),
                (["--slot", sim.path, image[:-4] + ".txt"], 5, "must end in .hex"),
                (["--slot", sim.path, "--listen", "0.0.0.0:0", image], 2, "one interface"),
                (["--slot", sim.path, "--record", folder, image], 2, "--record"),
                (["--slot", sim.path, "--listen", BEYOND, image], 2,
                 "listening beyond this machine needs --token"),
            ]
            try:
                for args, code, why in cases:
                    with self.subTest(why):
                        # A free port, should one of them listen after all.
                        run = subprocess.run([rig.FWDL, "station", "--listen", "127.0.0.1:0",
                                              *args], capture_output=True,
                                             text=True, timeout=60)
                        self.assertEqual((run.returncode, run.stdout), (code, ""))
                        self.assertIn(why, run.stderr)
                # Ports with no device behind them are no two slots on one device.
                station = rig.Station(["COM7", "COM8"], image)
                self.assertEqual(len(station.state()["slots"]), 2)
                self.assertEqual(station.stop(), 0)
            finally:
                sim.close()


class StationBeyondTheMachine(unittest.TestCase):
    def test_a_client_without_the_token_only_watches(self):
        token = "line-3-0123456789"
        with tempfile.TemporaryDirectory() as folder:
            station = rig.Station(["COM7"], rig.image_file(folder, 100), listen=BEYOND,
                                  extra=("--token", token))
            try:
                self.assertTrue(station.url.endswith("/#token=" + token), station.url)
                self.assertEqual(station.token, "", "the page itself carries no token")
                before = station.state()
                for path, body in (("/api/slots/0/start", {"serial": "SN-1"}),
                                   ("/api/slots/0/answer", {"answer": "ok"})):
                    status, _, text = station.request("POST", path, json.dumps(body),
                                                      {"Content-Type": "application/json"})
                    self.assertEqual(status, 403, text)
                self.assertEqual(station.state(), before)
                self.assertEqual(station.post("/api/slots/0/start", {"serial": "SN-1"}, token)[0],
                                 202, "with the token it drives")
            finally:
                station.stop()


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)


class StationReleases(unittest.TestCase):
    """--releases: the operator starts and answers; the supervisor also picks
    the release, between runs, and the record holds each change."""

    SUPERVISOR = "supervisor-0123456789"

    def test_the_supervisor_picks_among_the_good_releases_between_runs(self):
        with tempfile.TemporaryDirectory() as folder:
            key, pub = os.path.join(folder, "key.pem"), os.path.join(folder, "release.pub")
            openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key)
            openssl("ec", "-in", key, "-pubout", "-out", pub)
            releases = os.path.join(folder, "releases")
            os.mkdir(releases)
            for name, size in (("a.bin", 3000), ("b.bin", 4000), ("c.bin", 5000)):
                path = os.path.join(releases, name)
                with open(path, "wb") as f:
                    f.write(rig.every_byte_image(size))
                openssl("dgst", "-sha256", "-sign", key, "-out", path + ".sig", path)
            with open(os.path.join(releases, "c.bin"), "r+b") as f:
                f.write(b"\xff")  # changed after it was signed
            record = os.path.join(folder, "units.jsonl")
            sim = rig.Sim(folder, "--flash-ms", "100")
            options = ("--trust", pub, "--releases", releases)
            station = rig.Station([sim.path], None, record,
                                  extra=(*options, "--supervisor-token", self.SUPERVISOR))
            try:
                state = station.state()
                self.assertEqual(state["firmware"]["path"], os.path.join(releases, "a.bin"))
                refused = {r["name"]: r["refused"] for r in state["releases"]}
                self.assertEqual(list(refused), ["a.bin", "b.bin", "c.bin"])
                self.assertIsNone(refused["a.bin"])
                self.assertIn("changed since it was signed", refused["c.bin"])
                self.assertIn("refused: c.bin", station.stderr())

                pick = {"name": "b.bin"}
                self.assertEqual(station.post("/api/release", pick)[0], 403, "the operator")
                self.assertEqual(station.post("/api/release", {"name": "c.bin"},
                                              self.SUPERVISOR)[0], 400)
                self.assertEqual(station.post("/api/slots/0/start", {"serial": "SN-1"})[0], 202)
                rig.wait_for(lambda: station.state()["slots"][0].get("question"),
                             what="the instructions")
                status, _, body = station.post("/api/release", pick, self.SUPERVISOR)
                self.assertEqual(status, 409, body)
                self.assertEqual(station.post("/api/slots/0/answer", {"answer": "cancel"})[0], 200)
                rig.wait_for(lambda: not station.state()["slots"][0]["busy"], what="the end")
                status, _, body = station.post("/api/release", pick, self.SUPERVISOR)
                self.assertEqual(status, 200, body)
                self.assertEqual(station.state()["firmware"]["path"],
                                 os.path.join(releases, "b.bin"))
                changes = [r for r in rig.records(record) if r.get("event") == "release"]
                self.assertEqual([(c["file"], c["sha256"]) for c in changes],
                                 [("b.bin", hashlib.sha256(rig.every_byte_image(4000)).hexdigest())])
                self.assertRegex(changes[0]["signed_by"], "^[0-9a-f]{16}$")
                self.assertRegex(changes[0]["time"], r"^\d{4}-\d\d-\d\dT.*Z$")
            finally:
                station.stop()
                sim.close()
            # Plain HTTP beyond the machine would carry the supervisor's token in the clear.
            run = subprocess.run([rig.FWDL, "station", "--listen", BEYOND, "--slot", "COM7",
                                  "--token", "line-3-0123456789", *options,
                                  "--supervisor-token", self.SUPERVISOR],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual((run.returncode, run.stdout), (2, ""))
            self.assertIn("--supervisor-token is refused over plain HTTP", run.stderr)
            # Over HTTPS it is taken, and the supervisor picks there too.
            cert, tls_key = os.path.join(folder, "cert.pem"), os.path.join(folder, "tls.pem")
            openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", tls_key, "-out", cert, "-days", "2",
                    "-subj", "/CN=bench-3")
            station = rig.Station(["COM7"], None, record, listen=BEYOND, extra=(
                "--token", "line-3-0123456789", *options, "--supervisor-token", self.SUPERVISOR,
                "--tls-cert", cert, "--tls-key", tls_key))
            try:
                self.assertTrue(station.url.startswith("https://"), station.url)
                self.assertEqual(station.post("/api/release", {"name": "b.bin"},
                                              self.SUPERVISOR)[0], 200)
                with socket.create_connection(("127.0.0.1", station.port), timeout=30) as raw:
                    raw.sendall(b"GET /api/state HTTP/1.1\r\nHost: x\r\n\r\n")
                    self.assertFalse(raw.recv(100).startswith(b"HTTP/"), "no plain HTTP")
            finally:
                station.stop()


class StationLimits(unittest.TestCase):
    """However many clients reach it, the station holds a bounded number of
    event streams (16) and connections (64), and tells the rest why."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.station = rig.Station(["COM7"], rig.image_file(self.folder.name, 100))
        self.held = []

    def tearDown(self):
        for held in self.held:
            held.close()
        code = self.station.stop()
        self.folder.cleanup()
        self.assertEqual(code, 0)

    def test_the_open_event_streams_are_bounded(self):
        def follow():
            stream = EventStream(self.station)
            self.held.append(stream)
            return stream.reply.status
        self.assertEqual([follow() for _ in range(16)], [200] * 16)
        self.assertEqual(follow(), 503)
        self.assertIn("too many pages follow this station",
                      json.loads(self.held.pop().reply.read())["error"])
        self.held.pop(0).close()
        rig.wait_for(lambda: follow() == 200 or self.held.pop().close(), 30, "a stream again")

    def test_the_open_connections_are_bounded(self):
        port = self.station.port
        for _ in range(64):
            self.held.append(socket.create_connection(("127.0.0.1", port), timeout=30))
        status, _, body = self.station.request("GET", "/api/state")
        self.assertEqual(status, 503)
        self.assertIn("too many connections to this station", json.loads(body)["error"])
        self.held.pop().close()
        rig.wait_for(lambda: self.station.request("GET", "/api/state")[0] == 200, 30,
                     "a connection again")


class StationWithoutFwdl(unittest.TestCase):
    def test_a_slot_whose_fwdl_cannot_start_says_why_and_counts_no_unit(self):
        with tempfile.TemporaryDirectory() as folder:
            program = os.path.join(folder, "fwdl")
            shutil.copy(rig.FWDL, program)
            station = rig.Station(["COM7"], rig.image_file(folder, 100), program=(program,))
            try:
                os.remove(program)  # as an upgrade replaces it under a running station
                status, _, body = station.post("/api/slots/0/start", {"serial": "SN-1"})
                state = station.state()
            finally:
                self.assertEqual(station.stop(), 0)
        self.assertEqual(status, 500, body)
        tally = state["tally"]
        self.assertEqual((tally["good"], tally["failed"], tally["stopped"], tally["last"]),
                         (0, 0, 0, []), "no unit was flashed")
        slot = state["slots"][0]
        self.assertEqual((slot["busy"], slot["result"]["verdict"]), (False, "failed"))
        self.assertIn("fwdl could not be started: ", slot["result"]["words"])


class StationStop(unittest.TestCase):
    def test_ctrl_c_ends_every_slot_as_ctrl_c_ends_fwdl_each_with_its_record(self):
        with tempfile.TemporaryDirectory() as folder:
            image = rig.image_file(folder, 100000)  # some 17 s at the line's pace
            record = os.path.join(folder, "units.jsonl")
            sims = [rig.Sim(folder, "--flash-ms", "100"), rig.Sim(folder, "--baud", "57600")]
            station = rig.Station([s.path for s in sims], image, record)
            try:
                for slot in (0, 1):
                    self.assertEqual(station.post("/api/slots/%d/start" % slot,
                                                  {"serial": "SN-%d" % slot})[0], 202)
                rig.wait_for(lambda: station.state()["slots"][1]["question"], what="a question")
                station.post("/api/slots/1/answer", {"answer": "ok"})
                rig.wait_for(lambda: (station.state()["slots"][1]["progress"] or {}).get("sent"),
                             what="slot 1 sending")
                rig.wait_for(lambda: station.state()["slots"][0]["question"], what="a question")
            finally:
                code = station.stop()  # slot 0 at its question, slot 1 mid-image
                for sim in sims:
                    sim.close()
            self.assertEqual(code, 0, station.stderr())
            units = {r["serial"]: r for r in rig.records(record)}
            self.assertEqual(sorted(units), ["SN-0", "SN-1"])
            self.assertEqual(units["SN-0"]["exit_code"], 130)
            self.assertEqual(units["SN-1"]["outcome"], "exited")
            self.assertLess(units["SN-1"]["bytes_written"], 100000)


if __name__ == "__main__":
    unittest.main()
