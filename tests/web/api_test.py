"""The web API through real HTTP and WebSocket clients: matrixd between matrixsim and them."""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import jsonschema
import websocket

sys.path.insert(0, os.path.dirname(__file__))
from harness import Rig, wait_until  # noqa: E402

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
                                              "lock": "none"}])
        self.assertGreater(change["version"], first["state"]["version"])
        self.assertEqual(self.state()["outputs"][4]["input"], 3)
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

        routes = [{"output": 1, "input": 4}, {"output": 2, "input": 4}]
        self.assertEqual(self.call("PUT", "/api/v1/salvos/Late%20show", {"routes": routes})[0],
                         200)
        status, salvo, _ = self.call("GET", "/api/v1/salvos/Late%20show")
        check(salvo, "salvo")
        self.assertEqual(salvo, {"name": "Late show", "routes": routes})
        self.assertEqual(self.call("POST", "/api/v1/salvos/Late%20show/take")[0], 202)
        self.assertTrue(wait_until(lambda: self.rig.switcher.received()[-2:] == ["4B1.", "4B2."]))
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
            ("POST", "/api/v1/routes", b'{"routes": [], "take": true}', 400),
            ("POST", "/api/v1/routes", b'{"routes": [], "ifVersion": "7"}', 400),
            ("PUT", "/api/v1/inputs/9/label", b'{"label": "x"}', 404),
            ("PUT", "/api/v1/inputs/1/label", b'{"label": 5}', 400),
            ("POST", "/api/v1/outputs/1/lock", b'{"action": "grab"}', 400),
            ("PUT", "/api/v1/salvos/..", b'{"routes": []}', 400),
            ("PUT", "/api/v1/salvos/" + "n" * 65, b'{"routes": []}', 400),
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
        # Hundreds of connections: the one beyond the limit is refused, the others are served.
        host, port = self.hub.web.split(":")
        held = [socket.create_connection((host, int(port))) for _ in range(256)]
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
            with Rig("--web-password-file", file.name, "--site", "http://10.0.0.9:9980/") as rig:
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
                status, sites, _ = hub.request("GET", "/api/v1/sites", None, cookie)
                check(sites, "sites")
                self.assertEqual(sites, [{"name": "10.0.0.9", "url": "http://10.0.0.9:9980/"}])


if __name__ == "__main__":
    unittest.main()
