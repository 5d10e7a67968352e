"""The real matrixd between a real matrixsim and the web clients of a test.

Paths come from the environment ctest sets: MATRIXD, MATRIXSIM, MATRIXCTL.
Run with Debian's /usr/bin/python3 (websocket-client, selenium).
"""
import http.client
import json
import os
import re
import signal
import subprocess
import shutil
import tempfile
import time
import unittest


def wait_until(predicate, timeout=10.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Switcher:
    """matrixsim on a free port, logging what it receives."""

    def __init__(self, workdir, inputs=8, outputs=8):
        self.size = (inputs, outputs)
        self.log_path = os.path.join(workdir, "sim.log")
        self.process = subprocess.Popen(
            [os.environ["MATRIXSIM"], "--port", "0", "--inputs", str(inputs),
             "--outputs", str(outputs), "--log", self.log_path],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        self.port = int(re.search(r":(\d+)", line).group(1))

    def received(self):
        """The commands received so far, in order ("3B5.")."""
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as log:
                return [m.group(1) for m in re.finditer(r"^rx \S+ (.*)$", log.read(), re.M)]
        except FileNotFoundError:
            return []

    def pause(self):
        self.process.send_signal(signal.SIGSTOP)

    def resume(self):
        self.process.send_signal(signal.SIGCONT)

    def stop(self):
        self.resume()
        self.process.kill()
        self.process.wait()


class Hub:
    """matrixd --net to the switcher, every port picked free; `web` is "127.0.0.1:PORT"."""

    def __init__(self, workdir, switcher, *extra):
        self.workdir = workdir
        inputs, outputs = switcher.size
        self.err_path = os.path.join(workdir, "matrixd.err")
        args = [os.environ["MATRIXD"], "--net", "127.0.0.1:%d" % switcher.port,
                "--inputs", str(inputs), "--outputs", str(outputs),
                "--videohub-port", "0", "--raw-port", "0", "--web-port", "0", "--swp08-port", "0",
                "--no-advertise",
                "--labels", os.path.join(workdir, "labels.ini")] + list(extra)
        with open(self.err_path, "w") as err:
            self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=err, text=True)
        self.ports = {}
        while len(self.ports) < 4:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("matrixd did not start: " + self.log())
            kind, address = line.split()
            self.ports[kind] = address
        self.web = self.ports["web"]
        self.raw = self.ports["raw"]
        self.router = self.ports["videohub"]
        self.swp08 = self.ports["swp08"]
        # Serving once the routes are learned; a door with a password is serving once it answers.
        wait_until(self.serving)

    def serving(self):
        status, state, _ = self.request("GET", "/api/v1/state")
        return status == 401 or (status == 200 and state.get("present"))

    def log(self):
        with open(self.err_path) as err:
            return err.read()

    def url(self, path="/"):
        return "http://%s%s" % (self.web, path)

    def request(self, method, path, body=None, cookie=None, headers=None, raw_body=None):
        """(status, JSON or None, response headers) of one call on a new connection."""
        host, port = self.web.split(":")
        connection = http.client.HTTPConnection(host, int(port), timeout=10)
        sent = dict(headers or {})
        if cookie:
            sent["Cookie"] = cookie
        data = raw_body if raw_body is not None else (
            json.dumps(body).encode() if body is not None else None)
        if data is not None:
            sent.setdefault("Content-Type", "application/json")
        connection.request(method, path, body=data, headers=sent)
        response = connection.getresponse()
        text = response.read()
        connection.close()
        try:
            parsed = json.loads(text) if text else None
        except ValueError:
            parsed = None
        return response.status, parsed, dict(response.getheaders())

    def session(self):
        """A new session's cookie ("matrixd_session=...")."""
        status, _, headers = self.request("POST", "/api/v1/session")
        return headers["Set-Cookie"].split(";")[0]

    def ctl(self, *args):
        return subprocess.run([os.environ["MATRIXCTL"], "--net", self.raw] + list(args),
                              capture_output=True, text=True, timeout=30)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Rig:
    """A switcher and a hub (8 × 8 unless told) in a directory of their own; a context manager.
    `extra` goes to matrixd's command line."""

    def __init__(self, *extra, inputs=8, outputs=8):
        self.dir = tempfile.TemporaryDirectory(prefix="mp-web-")
        self.switcher = Switcher(self.dir.name, inputs, outputs)
        try:
            self.hub = Hub(self.dir.name, self.switcher, *extra)
        except Exception:
            self.switcher.stop()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.hub.stop()
        self.switcher.stop()
        self.dir.cleanup()


# What npm says when the registry cannot be reached from here (no route, no name, a proxy whose
# certificate this machine does not trust): a fact about the machine, not about matrixd.
NPM_UNREACHABLE = ("ENOTFOUND", "EAI_AGAIN", "ECONNREFUSED", "ECONNRESET", "ETIMEDOUT",
                   "SELF_SIGNED_CERT_IN_CHAIN", "UNABLE_TO_GET_ISSUER_CERT_LOCALLY",
                   "UNABLE_TO_VERIFY_LEAF_SIGNATURE", "CERT_HAS_EXPIRED")


def npm_install(prefix, package):
    """Installs an npm package (a third-party client the tests run) under `prefix`; skips the
    test when there is no npm or the registry cannot be reached, fails on any other error."""
    npm = shutil.which("npm")
    if not npm:
        raise unittest.SkipTest("no npm to install %s with (apt install npm)" % package)
    done = subprocess.run([npm, "install", "--no-audit", "--no-fund", "--prefix", prefix, package],
                          capture_output=True, text=True, timeout=240)
    if done.returncode != 0:
        if any(code in done.stderr for code in NPM_UNREACHABLE):
            raise unittest.SkipTest("the npm registry cannot be reached from here: "
                                    + done.stderr.strip().splitlines()[0])
        raise AssertionError("npm install %s failed: %s" % (package, done.stderr))
