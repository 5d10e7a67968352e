"""The web API through real HTTP and WebSocket clients: matrixd between matrixsim and them."""
import collections
import http.client
import itertools
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

import jsonschema
import websocket

sys.path.insert(0, os.path.dirname(__file__))
from harness import Hub, Rig, wait_until  # noqa: E402

SCHEMA = json.load(open(os.path.join(os.path.dirname(__file__), "../../docs/api-schema.json")))


def check(message, kind):
    jsonschema.validate(message, {"$ref": "#/$defs/" + kind, "$defs": SCHEMA["$defs"]})


def events(hub, cookie, origin=None):
    return websocket.create_connection(
        "ws://%s/api/v1/events" % hub.web, cookie=cookie, timeout=10,
        origin=origin or "http://" + hub.web)


def raw_answer(hub, data):
    """The status line the web port answers a raw request with."""
    host, port = hub.web.split(":")
    with socket.create_connection((host, int(port)), timeout=10) as s:
        try:
            s.sendall(data)
        except OSError:
            pass  # closed early, the answer is already there
        return s.recv(200).split(b"\r\n")[0].decode()


class Api(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig()
        cls.hub = cls.rig.hub
        cls.me = cls.hub.session()
        cls.other = cls.hub.session()

    @classmethod
    def tearDownClass(cls):
        cls.rig.__exit__()

    def call(self, method, path, body=None, cookie=None, **kw):
        return self.hub.request(method, path, body, cookie or self.me, **kw)

    def state(self, cookie=None):
        status, state, _ = self.call("GET", "/api/v1/state", cookie=cookie)
        self.assertEqual(status, 200)
        check(state, "state")
        return state

    def test_a_route_goes_to_the_switcher_and_every_client_sees_it(self):
        socket_ = events(self.hub, self.other)
        first = json.loads(socket_.recv())
        check(first, "event")
        status, body, _ = self.call("POST", "/api/v1/routes",
                                    {"routes": [{"output": 5, "input": 3}]})
        self.assertEqual(status, 202)
        check(body, "accepted")
        self.assertTrue(wait_until(lambda: "3B5." in self.rig.switcher.received()))
        change = json.loads(socket_.recv())
        check(change, "event")
        self.assertEqual(change["outputs"], [{"n": 5, "label": "Output 5", "input": 3,
                                              "audio": 3, "lock": "none"}])
        self.assertGreater(change["version"], first["state"]["version"])
        self.assertEqual(self.state()["outputs"][4]["input"], 3)
        # Audio and video apart: a route of one level, and a split made on the raw port.
        self.call("POST", "/api/v1/routes", {"routes": [{"output": 5, "input": 6, "level": "audio"}]})
        self.assertTrue(wait_until(lambda: "6A5." in self.rig.switcher.received()))
        change = json.loads(socket_.recv())
        self.assertEqual((change["outputs"][0]["input"], change["outputs"][0]["audio"]), (3, 6))
        self.assertEqual(self.hub.ctl("route", "4", "5", "--video").returncode, 0)
        self.assertTrue(wait_until(lambda: (self.state()["outputs"][4]["input"],
                                            self.state()["outputs"][4]["audio"]) == (4, 6)))
        socket_.recv()
        # Switched off at the switcher: shown off, not with its last route, until routed again.
        self.assertEqual(self.hub.ctl("off", "5").returncode, 0)
        change = json.loads(socket_.recv())
        check(change, "event")
        self.assertEqual(change["outputs"], [{"n": 5, "label": "Output 5", "input": None,
                                              "audio": None, "off": True, "lock": "none"}])
        self.call("POST", "/api/v1/routes", {"routes": [{"output": 5, "input": 2}]})
        self.assertTrue(wait_until(lambda: self.state()["outputs"][4] == {
            "n": 5, "label": "Output 5", "input": 2, "audio": 2, "lock": "none"}))
        socket_.close()

    def test_a_stale_version_changes_nothing(self):
        version = self.state()["version"]
        self.call("PUT", "/api/v1/inputs/2/label", {"label": "Camera 2"})
        sent = len(self.rig.switcher.received())
        status, body, _ = self.call("POST", "/api/v1/routes",
                                    {"routes": [{"output": 1, "input": 2}], "ifVersion": version})
        self.assertEqual(status, 409)
        check(body, "error")
        self.assertEqual(len(self.rig.switcher.received()), sent)

    def test_names_locks_salvos_and_presets(self):
        self.assertEqual(self.call("PUT", "/api/v1/outputs/7/label",
                                   {"label": "Proj\u001b[31mector"})[0], 200)
        self.assertEqual(self.state()["outputs"][6]["label"], "Proj [31mector")
        # Cut at 40 characters as on every door, never inside one.
        self.assertEqual(self.call("PUT", "/api/v1/inputs/6/label", {"label": "\u00e9" * 300})[0],
                         200)
        self.assertEqual(self.state()["inputs"][5]["label"], "\u00e9" * 40)

        self.assertEqual(self.call("POST", "/api/v1/outputs/8/lock", {"action": "lock"})[0], 200)
        self.assertEqual(self.state()["outputs"][7]["lock"], "mine")
        self.assertEqual(self.state(self.other)["outputs"][7]["lock"], "other")
        sent = len(self.rig.switcher.received())
        for body, path in (({"routes": [{"output": 8, "input": 1}]}, "/api/v1/routes"),
                           ({"action": "unlock"}, "/api/v1/outputs/8/lock")):
            self.assertEqual(self.call("POST", path, body, cookie=self.other)[0], 423, path)
        self.assertEqual(self.call("POST", "/api/v1/presets/2/recall", cookie=self.other)[0], 423)
        self.assertEqual(len(self.rig.switcher.received()), sent)
        self.assertEqual(self.call("POST", "/api/v1/outputs/8/lock", {"action": "force"},
                                   cookie=self.other)[0], 200)
        self.assertEqual(self.state()["outputs"][7]["lock"], "none")

        routes = [{"output": 1, "input": 4}, {"output": 2, "input": 4, "level": "audio"},
                  {"output": 2, "input": 5, "level": "video"}]
        self.assertEqual(self.call("PUT", "/api/v1/salvos/Late%20show", {"routes": routes})[0],
                         200)
        status, salvo, _ = self.call("GET", "/api/v1/salvos/Late%20show")
        check(salvo, "salvo")
        self.assertEqual(salvo, {"name": "Late show", "routes": routes})
        self.assertEqual(self.call("POST", "/api/v1/salvos/Late%20show/take")[0], 202)
        self.assertTrue(wait_until(
            lambda: self.rig.switcher.received()[-3:] == ["4B1.", "4A2.", "5V2."]))
        salvos_file = os.path.join(self.rig.dir.name, "salvos.json")
        self.assertTrue(wait_until(lambda: os.path.exists(salvos_file)))
        self.assertIn("Late show", open(salvos_file).read())
        self.assertEqual(self.call("DELETE", "/api/v1/salvos/Late%20show")[0], 200)
        self.assertEqual(self.call("POST", "/api/v1/salvos/Late%20show/take")[0], 404)

        self.assertEqual(self.call("POST", "/api/v1/presets/3/save")[0], 202)
        self.assertTrue(wait_until(lambda: self.rig.switcher.received()[-1] == "Save3."))

    def test_malformed_requests_are_refused_with_their_reason(self):
        sent = len(self.rig.switcher.received())
        cases = [
            ("POST", "/api/v1/routes", b"{not json", 400),
            ("POST", "/api/v1/routes", b"[1,2]", 400),
            ("POST", "/api/v1/routes", b'{"routes": [{"output": 9, "input": 1}]}', 400),
            ("POST", "/api/v1/routes", b'{"routes": [{"output": 1, "input": 0}]}', 400),
            ("POST", "/api/v1/routes", b'{"routes": [{"output": 1.5, "input": 1}]}', 400),
            ("POST", "/api/v1/routes",
             b'{"routes": [{"output": 1, "input": 1}, {"output": 1, "input": 2}]}', 400),
            ("POST", "/api/v1/routes",
             b'{"routes": [{"output": 1, "input": 1, "level": "AV"}]}', 400),
            ("POST", "/api/v1/routes", b'{"routes": [{"output": 1, "input": 1, "level": "av"},'
             b' {"output": 1, "input": 2, "level": "audio"}]}', 400),
            ("POST", "/api/v1/routes", b'{"routes": [], "take": true}', 400),
            ("POST", "/api/v1/routes", b'{"routes": [], "ifVersion": "7"}', 400),
            ("PUT", "/api/v1/inputs/9/label", b'{"label": "x"}', 404),
            ("PUT", "/api/v1/inputs/1/label", b'{"label": 5}', 400),
            ("POST", "/api/v1/outputs/1/lock", b'{"action": "grab"}', 400),
            ("PUT", "/api/v1/salvos/..", b'{"routes": []}', 400),
            ("PUT", "/api/v1/salvos/" + "n" * 41, b'{"routes": []}', 400),
            ("PUT", "/api/v1/salvos/%20n", b'{"routes": []}', 400),
            ("PUT", "/api/v1/salvos/n%EF%B7%90", b'{"routes": []}', 400),  # U+FDD0
            ("PUT", "/api/v1/salvos/n%EF%BF%BE", b'{"routes": []}', 400),  # U+FFFE
            ("PUT", "/api/v1/salvos/n%F4%8F%BF%BF", b'{"routes": []}', 400),  # U+10FFFF
            ("POST", "/api/v1/presets/129/save", b"", 404),
            ("GET", "/api/v1/nothing", b"", 404),
            ("POST", "/index.html", b"", 405),
        ]
        for method, path, body, expected in cases:
            with self.subTest(path=path, body=body):
                status, answer, _ = self.call(method, path, raw_body=body)
                self.assertEqual(status, expected)
                if path.startswith("/api/"):
                    check(answer, "error")
        self.assertEqual(len(self.rig.switcher.received()), sent)

    def test_limits_are_answered_with_their_status(self):
        cases = [
            (b"GET /api/v1/state HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n",
             "431"),
            (b"PUT /api/v1/inputs/1/label HTTP/1.1\r\nHost: x\r\nContent-Length: 70000\r\n\r\n"
             + b"a" * 70000, "413"),
            (b"POST /api/v1/routes HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
             "411"),
        ]
        for data, status in cases:
            with self.subTest(status=status):
                self.assertIn(" %s " % status, raw_answer(self.hub, data))
        # Hundreds of connections, from 8 addresses: the one beyond the limit is refused, the
        # others are served.
        host, port = self.hub.web.split(":")
        held = [socket.create_connection((host, int(port)),
                                         source_address=("127.0.0.%d" % (2 + k // 32), 0))
                for k in range(256)]
        try:
            self.assertTrue(wait_until(lambda: " 503 " in raw_answer(
                self.hub, b"GET /api/v1/state HTTP/1.1\r\nHost: x\r\n\r\n")))
        finally:
            for s in held:
                s.close()
        self.assertTrue(wait_until(lambda: self.call("GET", "/api/v1/state")[0] == 200))

    def test_another_sites_page_is_refused(self):
        status, _, _ = self.call("POST", "/api/v1/routes", {"routes": []},
                                 headers={"Origin": "http://evil.example"})
        self.assertEqual(status, 403)
        with self.assertRaises(websocket.WebSocketBadStatusException) as refused:
            events(self.hub, self.me, origin="http://evil.example")
        self.assertEqual(refused.exception.status_code, 403)


class SalvoBounds(unittest.TestCase):
    def test_salvos_are_bounded_and_a_file_beyond_the_bound_loses_nothing(self):
        with Rig(inputs=64, outputs=64) as rig:
            # A file of 4,000 salvos of 18 routes (7 MB), as matrixd once wrote, and two
            # entries that are no salvos is read whole at the start: the first 1,000 salvos
            # are served, and all stay on file.
            rig.hub.stop()
            path = os.path.join(rig.dir.name, "salvos.json")
            routes = [{"input": 1, "output": o} for o in range(1, 19)]
            with open(path, "w") as file:
                json.dump({"salvos": [{"name": "x\ufffe", "routes": routes},
                                      {"name": 5, "routes": routes}] +
                           [{"name": "f%04d" % k, "routes": routes} for k in range(4000)]},
                          file, indent=4)
            rig.hub = Hub(rig.dir.name, rig.switcher)
            cookie = rig.hub.session()
            status, salvos, _ = rig.hub.request("GET", "/api/v1/salvos", None, cookie)
            self.assertEqual([s["name"] for s in salvos], ["f%04d" % k for k in range(1000)])
            self.assertIn("3002 of the 4002 salvos", rig.hub.log())

            def put(name, routes):
                return rig.hub.request("PUT", "/api/v1/salvos/" + urllib.parse.quote(name),
                                       {"routes": routes}, cookie)

            one = [{"output": 2, "input": 3}]
            many = [{"output": 1 + k % 64, "input": 1} for k in range(1025)]
            for name, routes, status in (("\u00e9" * 40, one, 409), ("f0001", many, 413),
                                         ("f0001", one, 200)):
                answer = put(name, routes)
                self.assertEqual(answer[0], status, name)
                if status != 200:
                    check(answer[1], "error")
                    self.assertIn("too many", answer[1]["error"])
            self.assertTrue(wait_until(
                lambda: json.load(open(path))["salvos"][1]["routes"] == one, 30))
            self.assertEqual(len(json.load(open(path + ".original"))["salvos"]), 4002)
            self.assertEqual(rig.hub.request("DELETE", "/api/v1/salvos/f0000", None,
                                             cookie)[0], 200)
            self.assertEqual(put("\u00e9" * 40, one)[0], 200)


def read_only_settings_directory(directory, beside):
    """A MATRIXD (put in `beside`) that sees `directory` read-only, as a sandbox may show it;
    None where mount namespaces are out of reach."""
    if subprocess.run(["unshare", "-rm", "true"], capture_output=True).returncode != 0:
        return None
    wrapper = os.path.join(beside, "matrixd")
    with open(wrapper, "w") as file:
        file.write('#!/bin/sh\nexec unshare -rm sh -c \'mount --bind "$0" "$0" && '
                   'mount -o remount,bind,ro "$0" "$0" && exec "$@"\' "%s" "%s" "$@"\n'
                   % (directory, os.environ["MATRIXD"]))
    os.chmod(wrapper, 0o755)
    return wrapper


class ReadOnlyDirectory(unittest.TestCase):
    def test_a_salvos_file_that_cannot_be_set_aside_is_left_as_it_is(self):
        with Rig() as rig, tempfile.TemporaryDirectory() as elsewhere:
            wrapper = read_only_settings_directory(rig.dir.name, elsewhere)
            if wrapper is None:
                self.skipTest("needs unshare -rm")
            rig.hub.stop()
            # salvos.json links to a file the daemon could write, in a directory it cannot.
            target = os.path.join(elsewhere, "salvos.json")
            with open(target, "w") as file:
                file.write("{ by hand, unfinished")
            os.symlink(target, os.path.join(rig.dir.name, "salvos.json"))
            real, os.environ["MATRIXD"] = os.environ["MATRIXD"], wrapper
            try:
                rig.hub = Hub(rig.dir.name, rig.switcher)
            finally:
                os.environ["MATRIXD"] = real
            cookie = rig.hub.session()
            self.assertEqual(rig.hub.request("PUT", "/api/v1/salvos/New", {"routes": []},
                                             cookie)[0], 200)
            rig.hub.stop()  # what waits is written first
            self.assertEqual(open(target).read(), "{ by hand, unfinished")
            self.assertIn("could not be set aside", rig.hub.log())


class Absent(unittest.TestCase):
    def test_routes_are_refused_while_the_switcher_does_not_answer(self):
        with Rig("--reply-wait", "100") as rig:
            cookie = rig.hub.session()
            socket_ = events(rig.hub, cookie)
            socket_.recv()
            rig.switcher.pause()
            body = {"routes": [{"output": 1, "input": 2}]}
            self.assertTrue(wait_until(
                lambda: rig.hub.request("POST", "/api/v1/routes", body, cookie)[0] == 503, 40))
            change = json.loads(socket_.recv())
            while change.get("present") is not False:
                change = json.loads(socket_.recv())
            check(change, "event")
            rig.switcher.resume()
            self.assertTrue(wait_until(
                lambda: rig.hub.request("GET", "/api/v1/state", None, cookie)[1]["present"], 40))


class Password(unittest.TestCase):
    def test_sign_in_with_a_password_hash(self):
        matrixd = os.environ["MATRIXD"]
        hashed = subprocess.run([matrixd, "--hash-password"], input="open sesame\n",
                                capture_output=True, text=True, check=True).stdout
        with tempfile.NamedTemporaryFile("w", suffix=".hash") as file:
            file.write(hashed)
            file.flush()
            refused = subprocess.run([matrixd, "--net", "127.0.0.1:1", "--inputs", "2",
                                      "--outputs", "2", "--listen", "0.0.0.0"],
                                     capture_output=True, text=True)
            self.assertEqual(refused.returncode, 2)
            self.assertIn("--web-password-file", refused.stderr)
            with Rig("--web-password-file", file.name, "--site", "http://127.0.0.1:9/") as rig:
                hub = rig.hub
                self.assertEqual(hub.request("GET", "/api/v1/state")[0], 401)
                status, session, _ = hub.request("GET", "/api/v1/session")
                self.assertEqual(session, {"signedIn": False, "passwordRequired": True})
                with self.assertRaises(websocket.WebSocketBadStatusException):
                    events(hub, None)
                answers = [hub.request("POST", "/api/v1/session", {"password": "guess"})
                           for _ in range(4)]
                self.assertEqual([a[0] for a in answers], [401, 401, 401, 429])
                time.sleep(int(answers[-1][2]["Retry-After"]))
                status, _, headers = hub.request("POST", "/api/v1/session",
                                                 {"password": "open sesame"})
                self.assertEqual(status, 204)
                cookie = headers["Set-Cookie"].split(";")[0]
                self.assertIn("HttpOnly", headers["Set-Cookie"])
                self.assertIn("SameSite=Strict", headers["Set-Cookie"])
                self.assertEqual(hub.request("GET", "/api/v1/state", None, cookie)[0], 200)
                check(json.loads(events(hub, cookie).recv()), "event")
                # A configured panel that does not answer is said to be so.
                def sites():
                    status, sites, _ = hub.request("GET", "/api/v1/sites", None, cookie)
                    check(sites, "sites")
                    return sites
                self.assertTrue(wait_until(lambda: sites() == [
                    {"name": "127.0.0.1", "url": "http://127.0.0.1:9/", "answers": False}]))


# ---- Strangers: hosts that are not this machine, calls without a cookie, guessed passwords ----

def password_file(directory, password):
    """A --web-password-file holding the hash of `password`."""
    hashed = subprocess.run([os.environ["MATRIXD"], "--hash-password"], input=password + "\n",
                            capture_output=True, text=True, check=True).stdout
    path = os.path.join(directory, "web.hash")
    with open(path, "w") as file:
        file.write(hashed)
    return path


def sign_in_from(hub, source, password):
    """The status of a sign-in sent from the local address `source` (127.x.y.z)."""
    host, port = hub.web.split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=30,
                                            source_address=(source, 0))
    try:
        connection.request("POST", "/api/v1/session", json.dumps({"password": password}),
                           {"Content-Type": "application/json"})
        response = connection.getresponse()
        response.read()
        return response.status
    finally:
        connection.close()


class Strangers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig("--web-host", "Panel.Example.TEST")
        cls.hub = cls.rig.hub

    @classmethod
    def tearDownClass(cls):
        cls.rig.__exit__()

    def test_only_a_host_naming_this_machine_is_served(self):
        port = self.hub.web.split(":")[1]
        served = ["127.0.0.1:" + port, "127.0.0.1", "localhost:" + port, "LOCALHOST.",
                  "panel.example.test:8080", socket.gethostname()]
        refused = ["rebind.evil.test:" + port, "127.0.0.1.evil.test", "10.0.0.1:" + port,
                   "localhost:80:80"]
        for host in served:
            with self.subTest(host=host):
                for path in ("/", "/api/v1/state"):
                    self.assertEqual(self.hub.request("GET", path, headers={"Host": host})[0], 200)
        sent = len(self.rig.switcher.received())
        route = {"routes": [{"output": 1, "input": 2}]}
        for host in refused:
            with self.subTest(host=host):
                for method, path, body in (("GET", "/", None), ("GET", "/api/v1/state", None),
                                           ("POST", "/api/v1/routes", route)):
                    status, answer, _ = self.hub.request(
                        method, path, body, headers={"Host": host, "Origin": "http://" + host})
                    self.assertEqual(status, 421, path)
                    check(answer, "error")
                with self.assertRaises(websocket.WebSocketBadStatusException) as upgrade:
                    websocket.create_connection("ws://%s/api/v1/events" % self.hub.web,
                                                host=host, origin="http://" + host, timeout=10)
                self.assertEqual(upgrade.exception.status_code, 421)
        self.assertEqual(len(self.rig.switcher.received()), sent)

    def test_calls_without_a_cookie_end_no_session_in_use(self):
        me = self.hub.session()
        self.assertEqual(self.hub.request("POST", "/api/v1/outputs/3/lock", {"action": "lock"},
                                          me)[0], 200)
        self.addCleanup(self.hub.request, "POST", "/api/v1/outputs/3/lock", {"action": "unlock"},
                        me)
        watcher = events(self.hub, None)  # no cookie: it watches as nobody's
        self.assertEqual(json.loads(watcher.recv())["state"]["outputs"][2]["lock"], "other")
        watcher.close()
        host, port = self.hub.web.split(":")
        start = time.monotonic()
        # Reads make no session; changes without a cookie (a script keeping none) make one
        # each, more than there is room for.
        calls = [("GET", "/api/v1/state", 200)] * 1100 + [("POST", "/api/v1/session", 204)] * 1030
        connection = http.client.HTTPConnection(host, int(port), timeout=10)
        for method, path, expected in calls:
            connection.request(method, path)
            response = connection.getresponse()
            response.read()
            self.assertEqual(response.status, expected, path)
            self.assertEqual(response.getheader("Set-Cookie") is not None, method == "POST")
        connection.close()
        print("\n%d calls without a cookie: %.1f s" % (len(calls), time.monotonic() - start),
              file=sys.stderr)
        stranger = self.hub.session()
        self.assertEqual(self.hub.request("POST", "/api/v1/routes",
                                          {"routes": [{"output": 3, "input": 1}]}, stranger)[0],
                         423)
        status, state, _ = self.hub.request("GET", "/api/v1/state", None, me)
        self.assertEqual(state["outputs"][2]["lock"], "mine")

    def test_the_right_password_gets_through_guesses_from_other_addresses(self):
        with tempfile.TemporaryDirectory() as directory, \
                Rig("--web-password-file", password_file(directory, "open sesame")) as rig:
            # Parallel guesses from one address meet the wait as sequential ones do.
            with ThreadPoolExecutor(8) as pool:
                parallel = list(pool.map(lambda _: sign_in_from(rig.hub, "127.0.0.2", "guess"),
                                         range(8)))
            self.assertLessEqual(parallel.count(401), 4, parallel)
            self.assertEqual(set(parallel), {401, 429}, parallel)
            guessers = ["127.0.0.%d" % k for k in range(2, 10)]
            answers = collections.Counter()
            stop = threading.Event()

            def guess(first):
                for k in itertools.count(first):
                    if stop.is_set():
                        return
                    answers[sign_in_from(rig.hub, guessers[k % len(guessers)], "guess")] += 1

            threads = [threading.Thread(target=guess, args=(k,)) for k in range(16)]
            for thread in threads:
                thread.start()
            try:
                # Every guessing address has failed, and guesses are turned away: the checks
                # are all taken.
                self.assertTrue(wait_until(
                    lambda: answers[401] >= len(guessers) and answers[503] > 0, 60))
                right = [sign_in_from(rig.hub, "127.0.1.%d" % k, "open sesame")
                         for k in range(1, 4)]
            finally:
                stop.set()
                for thread in threads:
                    thread.join()
            self.assertEqual(right, [204] * 3, dict(answers))


# ---- Connections: what a client may hold of the web door, and how its connections end ----

def connect_from(hub, source="127.0.0.1"):
    host, port = hub.web.split(":")
    return socket.create_connection((host, int(port)), timeout=30, source_address=(source, 0))


def read_to_end(connection):
    """What the connection brings until the server closes it (raises when it stays open)."""
    data = b""
    while True:
        chunk = connection.recv(65536)
        if not chunk:
            return data
        data += chunk


def status_lines(answers):
    return [line for line in answers.split(b"\r\n") if line.startswith(b"HTTP/1.1 ")]


def rss_mb(process):
    with open("/proc/%d/status" % process.pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS")) / 1024


class Connections(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.rig = Rig("--web-password-file", password_file(cls.dir.name, "pw"))
        cls.hub = cls.rig.hub
        cls.cookie = cls.hub.request("POST", "/api/v1/session",
                                     {"password": "pw"})[2]["Set-Cookie"].split(";")[0]
        cls.host = cls.hub.web.encode()

    @classmethod
    def tearDownClass(cls):
        cls.rig.__exit__()
        cls.dir.cleanup()

    def test_a_closed_websocket_gives_its_place_back(self):
        for k in range(300):
            socket_ = events(self.hub, self.cookie)
            socket_.recv()
            if k % 2:
                socket_.close()
            else:
                socket_.sock.close()  # the TCP connection dropped, without a close frame
        self.assertTrue(wait_until(lambda: self.hub.request("GET", "/")[0] == 200))

    def test_one_address_holds_its_share_and_no_more(self):
        held = [connect_from(self.hub) for _ in range(32)]
        try:
            for connection in held:
                connection.sendall(b"GET / HTTP/1.1\r\n")  # a header that never ends
            get = b"GET / HTTP/1.1\r\nHost: " + self.host + b"\r\nConnection: close\r\n\r\n"

            def answer_from(source):
                with connect_from(self.hub, source) as connection:
                    connection.sendall(get)
                    return status_lines(read_to_end(connection))

            self.assertTrue(wait_until(
                lambda: answer_from("127.0.0.1") == [b"HTTP/1.1 429 Too Many Requests"]))
            self.assertEqual(answer_from("127.0.0.2"), [b"HTTP/1.1 200 OK"])
            # A header is complete within its time from its start, not from its last byte.
            for connection in held[:3]:
                connection.sendall(b"Host: " + self.host + b"\r\n")
                self.assertEqual(status_lines(read_to_end(connection)),
                                 [b"HTTP/1.1 408 Request Timeout"])
        finally:
            for connection in held:
                connection.close()

    def test_what_a_request_may_buffer_stays_bounded(self):
        host = b"Host: " + self.host
        cases = [
            b"POST /api/v1/routes HTTP/1.1\n" + host + b"\nContent-Length: 100000000\n\n",
            b"POST /api/v1/routes HTTP/1.1\r\n" + host + b"\r\nUpgrade: websocket\r\n"
            b"Connection: Upgrade\r\nContent-Length: 100000000\r\n\r\n",
            # An upgrade header on a plain request does not turn the reading along off.
            b"GET / HTTP/1.1\r\n" + host + b"\r\nUpgrade: websocket\r\n\r\n"
            b"POST /api/v1/routes HTTP/1.1\r\n" + host + b"\r\nContent-Length: 100000000\r\n\r\n",
        ]
        before = rss_mb(self.hub.process)
        for head in cases:
            with self.subTest(head=head[:40]), connect_from(self.hub) as connection:
                sent = 0
                try:
                    connection.sendall(head)
                    while sent < 100_000_000:
                        connection.sendall(b"a" * 65536)
                        sent += 65536
                except OSError:
                    pass  # cut off
                self.assertEqual(status_lines(connection.recv(65536))[-1],
                                 b"HTTP/1.1 413 Content Too Large")
        growth = rss_mb(self.hub.process) - before
        print("\nRSS growth after 3 requests of 100 MB: %.1f MB" % growth, file=sys.stderr)
        self.assertLess(growth, 10)

    def test_answers_come_in_request_order_and_end_the_connection_when_asked(self):
        sign_in = b'{"password": "pw"}'
        cases = [
            (b"GET /api/v1/session HTTP/1.0\r\nHost: " + self.host + b"\r\n\r\n", [200]),
            (b"GET /api/v1/session HTTP/1.1\r\nHost: " + self.host +
             b"\r\nConnection: close\r\n\r\n", [200]),
            # A sign-in is answered once checked; the request behind it waits its turn.
            (b"POST /api/v1/session HTTP/1.1\r\nHost: " + self.host + b"\r\nContent-Length: %d"
             b"\r\n\r\n%s" % (len(sign_in), sign_in) + b"GET /api/v1/session HTTP/1.1\r\nHost: " +
             self.host + b"\r\nConnection: close\r\n\r\n", [204, 200]),
        ]
        for data, statuses in cases:
            with self.subTest(data=data[:40]), connect_from(self.hub) as connection:
                connection.sendall(data)
                self.assertEqual([int(line.split()[1]) for line in
                                  status_lines(read_to_end(connection))], statuses)

    def test_an_oversized_websocket_message_is_closed_with_1009(self):
        socket_ = events(self.hub, self.cookie)
        socket_.recv()
        socket_.send("x" * 70000)
        opcode, data = socket_.recv_data(control_frame=True)
        self.assertEqual((opcode, data[:2]), (websocket.ABNF.OPCODE_CLOSE, b"\x03\xf1"))

    def test_dot_paths_name_no_page(self):
        for path in ("/..", "/.", "/%2e", "/%2E%2e", "/.hidden"):
            with self.subTest(path=path):
                self.assertEqual(self.hub.request("GET", path)[0], 404)


class WholeState(unittest.TestCase):
    def test_a_new_websocket_gets_a_whole_state_larger_than_the_unread_bound(self):
        with Rig(inputs=64, outputs=64) as rig:
            rig.hub.stop()
            routes = [{"input": 1, "output": o} for o in range(1, 65)]
            with open(os.path.join(rig.dir.name, "salvos.json"), "w") as file:
                json.dump({"salvos": [{"name": "s%04d" % k, "routes": routes}
                                      for k in range(1000)]}, file)
            rig.hub = Hub(rig.dir.name, rig.switcher)
            first = events(rig.hub, rig.hub.session()).recv()
            self.assertGreater(len(first), 1024 * 1024)
            self.assertEqual(len(json.loads(first)["state"]["salvos"]), 1000)

if __name__ == "__main__":
    unittest.main()
