"""Headless Firefox driven over WebDriver BiDi, which Firefox serves itself
(Debian packages no geckodriver): a few commands over one WebSocket.
Firefox and the WebSocket client come from Debian's packages; the profile
is new and fetches nothing."""

import base64
import json
import os
import re
import shutil
import subprocess
import tempfile
import time

import websocket

FIREFOX = os.environ.get("FIREFOX", "/usr/bin/firefox-esr")

# No updates, telemetry, captive-portal checks or first-run pages: the
# machine may be offline, and each would only slow the start.
PREFERENCES = {
    "app.update.disabledForTesting": True,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.safebrowsing.update.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "extensions.update.enabled": False,
    "network.captive-portal-service.enabled": False,
    "remote.prefs.recommended": True,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
}

KEYS = {"\n": "\ue007", "\t": "\ue004"}  # Enter, Tab


class Firefox:
    def __init__(self, width=1400, height=1000):
        self.profile = tempfile.mkdtemp(prefix="station-firefox-")
        with open(os.path.join(self.profile, "user.js"), "w") as f:
            for name, value in PREFERENCES.items():
                f.write('user_pref("%s", %s);\n' % (name, json.dumps(value)))
        self.process = subprocess.Popen(
            [FIREFOX, "--headless", "--no-remote", "--profile", self.profile,
             "--remote-debugging-port", "0", "--width", str(width), "--height", str(height)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        address = None
        for line in self.process.stderr:
            found = re.search(r"WebDriver BiDi listening on (ws://\S+)", line.decode(errors="replace"))
            if found:
                address = found.group(1)
                break
        assert address, "Firefox did not start its WebDriver BiDi server"
        # Firefox refuses a handshake that names an origin it was not told of.
        self.socket = websocket.create_connection(address + "/session", timeout=60,
                                                  suppress_origin=True)
        self.last_id = 0
        self.call("session.new", {"capabilities": {}})
        self.context = self.call("browsingContext.getTree", {})["contexts"][0]["context"]

    def call(self, method, params):
        self.last_id += 1
        self.socket.send(json.dumps({"id": self.last_id, "method": method, "params": params}))
        while True:  # events and other answers are passed over
            message = json.loads(self.socket.recv())
            if message.get("id") == self.last_id:
                if message.get("type") == "error":
                    raise AssertionError("%s: %s" % (method, message.get("message")))
                return message["result"]

    def get(self, url):
        self.call("browsingContext.navigate", {"context": self.context, "url": url, "wait": "complete"})

    def evaluate(self, expression):
        """The value of a JavaScript expression on the page (JSON-like)."""
        result = self.call("script.evaluate", {
            "expression": "JSON.stringify(%s)" % expression,
            "target": {"context": self.context}, "awaitPromise": False})["result"]
        return json.loads(result["value"]) if result.get("type") == "string" else None

    def type(self, text):
        """Keys as a user types them, to whatever has the focus; "\\n" is
        Enter, "\\t" Tab."""
        keys = []
        for c in text:
            key = KEYS.get(c, c)
            keys += [{"type": "keyDown", "value": key}, {"type": "keyUp", "value": key}]
        self.call("input.performActions", {"context": self.context, "actions": [
            {"type": "key", "id": "keyboard", "actions": keys}]})

    def click(self, selector):
        """A mouse click in the middle of the element `selector`."""
        x, y = self.evaluate(
            "(r => [Math.round(r.x + r.width / 2), Math.round(r.y + r.height / 2)])"
            "(document.querySelector(%r).getBoundingClientRect())" % selector)
        self.call("input.performActions", {"context": self.context, "actions": [
            {"type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"},
             "actions": [{"type": "pointerMove", "x": x, "y": y},
                         {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0}]}]})

    def screenshot(self, path, zoom=1.0, width=1400, height=1000):
        self.call("browsingContext.setViewport", {
            "context": self.context, "viewport": {"width": width, "height": height},
            "devicePixelRatio": zoom})
        data = self.call("browsingContext.captureScreenshot", {"context": self.context})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def quit(self):
        try:
            self.call("session.end", {})
        except Exception:  # the browser may be gone already
            pass
        self.socket.close()
        self.process.terminate()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stderr.close()
        # Firefox may still write to its profile for a moment after it ends.
        for _ in range(20):
            shutil.rmtree(self.profile, ignore_errors=True)
            if not os.path.exists(self.profile):
                break
            time.sleep(0.1)
