"""What the station's tests share: simulated instruments, a station over
them, and bounded waits. Everything talks to 127.0.0.1 only."""

import http.client
import json
import os
import re
import signal
import ssl
import subprocess
import tempfile
import time
import urllib.parse

FWDL = os.environ.get("FWDL", "build/fwdl")
INSTRUMENT_SIM = os.environ.get("INSTRUMENT_SIM", "build/instrument-sim")


def wait_for(condition, timeout=60.0, what="the condition"):
    """Polls `condition` until it gives something true, for `timeout` s at most."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("waited %.0f s for %s" % (timeout, what))
        time.sleep(0.05)


def every_byte_image(size):
    return bytes(i % 256 for i in range(size))


def image_file(folder, size):
    """A DVB image of `size` bytes, every byte value in turn, in `folder`."""
    path = os.path.join(folder, "unit.bin")
    with open(path, "wb") as f:
        f.write(every_byte_image(size))
    return path


class Sim:
    """instrument-sim on a new pseudo-terminal; `path` is the end to open."""

    def __init__(self, folder, *options):
        self.log = os.path.join(folder, "received-%d.log" % id(self))
        self.process = subprocess.Popen(
            [INSTRUMENT_SIM, "--log", self.log, *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.path = self.process.stdout.readline().decode().strip()
        assert self.path, "instrument-sim printed no path"

    def pull_cable(self):
        """Ends the simulated instrument, as pulling its cable would."""
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=30)

    def close(self):
        self.pull_cable()
        for pipe in (self.process.stdin, self.process.stdout):
            pipe.close()


class Station:
    """fwdl station over `ports`, listening on a free port of `listen`, an
    address of 127.0.0.1 (which every connection goes to)."""

    def __init__(self, ports, firmware, record=None, extra=(), program=(FWDL,),
                 listen="127.0.0.1:0"):
        command = [*program, "station", "--listen", listen]
        for port in ports:
            command += ["--slot", port]
        if record:
            command += ["--record", record]
        command += [*extra] + ([firmware] if firmware else [])
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.errors)
        self.url = self.process.stdout.readline().decode().strip()
        assert re.match(r"https?://", self.url), self.stderr()
        self.host = urllib.parse.urlsplit(self.url).netloc  # for the Host header
        self.port = urllib.parse.urlsplit(self.url).port
        page = self.request("GET", "/")[2]
        self.token = re.search(r'name="station-token" content="([^"]*)"', page).group(1)

    def request(self, method, path, body=None, headers=None, host=None):
        """(status, headers, body as text) of one request on a new connection."""
        if self.url.startswith("https:"):
            # The test's own certificate: the channel is what is tested here.
            connection = http.client.HTTPSConnection(
                "127.0.0.1", self.port, timeout=30, context=ssl._create_unverified_context())
        else:
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            connection.putheader("Host", host if host is not None else self.host)
            for name, value in (headers or {}).items():
                connection.putheader(name, value)
            data = body.encode() if isinstance(body, str) else body
            if data is not None:
                connection.putheader("Content-Length", str(len(data)))
            connection.endheaders(data)
            reply = connection.getresponse()
            return reply.status, dict(reply.getheaders()), reply.read().decode()
        finally:
            connection.close()

    def post(self, path, document, token=None):
        """A change as the page makes it: JSON, with the token."""
        return self.request("POST", path, json.dumps(document), {
            "Content-Type": "application/json",
            "X-Station-Token": self.token if token is None else token})

    def state(self):
        status, _, body = self.request("GET", "/api/state")
        assert status == 200, body
        return json.loads(body)

    def stderr(self):
        if self.errors.closed:
            return ""
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace")

    def stop(self):
        """Ctrl-C, as the technician stops it; the exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        code = self.process.wait(timeout=60)
        self.process.stdout.close()
        self.errors.close()
        return code


def records(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines if line.strip()]
