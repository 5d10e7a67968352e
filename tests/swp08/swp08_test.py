"""The SW-P-08 door from the outside: the real matrixd between a real matrixsim and control
systems written from the protocol's description, beside the raw, router and web doors; and one
third-party client (the npm package probel-swp-08) when npm is there.

Paths come from the environment ctest sets: MATRIXD, MATRIXSIM, MATRIXCTL; SWP08_NODE_DIR is
where the third-party client is installed.
"""
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from harness import Rig, npm_install, wait_until  # noqa: E402

ACK, NAK = b"\x10\x06", b"\x10\x15"


def frame(message):
    body = bytes(message) + bytes([len(message)])
    body += bytes([-sum(body) & 0xFF])
    return b"\x10\x02" + body.replace(b"\x10", b"\x10\x10") + b"\x10\x03"


def hx(text):
    return bytes.fromhex(text)


def address(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


class Client:
    """A control system on the SW-P-08 port: sends messages, reads ACKs and frames apart."""

    def __init__(self, port_text):
        self.sock = socket.create_connection(address(port_text), timeout=10)
        self.sock.settimeout(0.05)
        self.bytes = b""

    def send(self, message=None, raw=None):
        self.sock.sendall(raw if raw is not None else frame(message))

    def _read(self):
        try:
            data = self.sock.recv(65536)
            self.bytes += data
        except socket.timeout:
            pass

    def until(self, wanted, timeout=10.0):
        """Waits until the bytes received hold `wanted`; returns all received so far."""
        wait_until(lambda: self._read() or wanted in self.bytes, timeout)
        return self.bytes

    def take(self):
        """What was received, also what waits unread, and forgets it."""
        before = None
        while before != len(self.bytes):
            before = len(self.bytes)
            self._read()
        taken, self.bytes = self.bytes, b""
        return taken

    def ask(self, message, answer):
        """Sends `message`, expects ACK then the frame of `answer` (and nothing between)."""
        self.take()
        self.send(message)
        expected = ACK + frame(answer)
        got = self.until(expected)
        self.take()
        return got.startswith(expected), got

    def close(self):
        self.sock.close()


class Line:
    """A plain TCP client of the raw or the router port."""

    def __init__(self, port_text):
        self.sock = socket.create_connection(address(port_text), timeout=10)

    def exchange(self, text, wanted):
        self.sock.sendall(text.encode())
        got = b""
        deadline = time.monotonic() + 10
        self.sock.settimeout(0.2)
        while wanted.encode() not in got and time.monotonic() < deadline:
            try:
                got += self.sock.recv(65536)
            except socket.timeout:
                pass
        return got.decode("utf-8", "replace")

    def close(self):
        self.sock.close()


class Swp08(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(inputs=256, outputs=256)
        cls.hub = cls.rig.hub

    @classmethod
    def tearDownClass(cls):
        cls.rig.__exit__()

    def client(self):
        client = Client(self.hub.swp08)
        self.addCleanup(client.close)
        return client

    def commands(self):
        return self.rig.switcher.received()

    def test_framing(self):
        client = self.client()
        ok, got = client.ask(hx("61"), hx("620F13 030409 0B0D0F 17 62 6A6B 83 84 97 EA EB"
                                          "010208 0A0C0E 15 61 64 65 66 67 81 82 95 E4 E5 E6 E7"))
        self.assertTrue(ok, got[:80].hex(" "))
        # A NAK from the client has the last frame sent again.
        client.send(raw=NAK)
        self.assertEqual(client.until(b"\x10\x03"), got[len(ACK):])
        client.take()
        # A bad checksum: NAK, and nothing reaches the switcher.
        sent = len(self.commands())
        bad = bytearray(frame(hx("0200000701")))
        bad[-3] ^= 1
        client.send(raw=bytes(bad))
        self.assertEqual(client.until(NAK), NAK)
        client.take()
        # Junk, an unfinished frame and a frame over 1 KiB are skipped; reading goes on.
        client.send(raw=b"\xff\x10\x99junk\x10\x02\x01" + b"\x10\x02" + b"\x55" * 1100)
        self.assertTrue(client.until(NAK).startswith(NAK))
        client.take()
        self.assertTrue(client.ask(hx("01000007"), hx("0300000707"))[0])
        self.assertEqual(len(self.commands()), sent)
        # A DLE both ways: destination 16 from source 3 on video (its tally carries "10 03"),
        # and a client that leaves a checksum of DLE undoubled.
        ok, got = client.ask(hx("0200001003"), hx("0400001003"))
        self.assertTrue(ok, got[:80].hex(" "))
        self.assertEqual(self.commands()[-1], "4V17.")
        client.send(hx("01000010"))
        self.assertEqual(client.until(hx("05E51003")), ACK + hx("100203000010100305E51003"))
        client.take()
        client.send(raw=hx("1002030000697F05101003"))  # the tally CHK 10 undoubled: taken
        self.assertEqual(client.until(ACK), ACK)

    def test_interrogate_and_connect_on_both_levels(self):
        client, other = self.client(), self.client()
        # (request, command to the switcher, the answer) for standard and extended messages,
        # both levels, numbers past 127, a matrix other than 0 echoed.
        cases = [
            ("0200000103", "4V2.", "0400000103"),
            ("0201000102", "3A2.", "0401000102"),
            ("020111482C", "173A201.", "040111482C"),
            ("82000000F900E5", "230V250.", "84000000F900E500"),
            ("8200010001 0002", "3A2.", "8400010001000200"),  # unchanged: still confirmed
            ("8203010002 0002", "3A3.", "8400010002000200"),  # told as matrix 0's
        ]
        for request, command, answer in cases:
            with self.subTest(request=request):
                ok, got = client.ask(hx(request), hx(answer))
                self.assertTrue(ok, got[:80].hex(" "))
                self.assertEqual(self.commands()[-1], command)
        # Interrogates answer what the switcher has, in the form asked.
        for request, answer in [("01000001", "0300000103"), ("01010001", "0301000102"),
                                ("01011148", "030111482C"), ("81000000F9", "83000000F900E500"),
                                ("8100010001", "8300010001000200")]:
            with self.subTest(request=request):
                ok, got = client.ask(hx(request), hx(answer))
                self.assertTrue(ok, got[:80].hex(" "))
        # The same route again still gets its connected message once the switcher answered,
        # and every client hears it (the extended one only in the extended form).
        self.assertTrue(other.ask(hx("8100000001"), hx("8300000001000300"))[0])
        sent = len(self.commands())
        self.assertTrue(client.ask(hx("0200000103"), hx("8400000001000300"))[0])
        self.assertEqual(len(self.commands()), sent + 1)
        self.assertEqual(other.until(frame(hx("8400000001000300"))), frame(hx("8400000001000300")))
        # A level the switcher lacks and a destination past its size: ACK only.
        sent = len(self.commands())
        for request in ("0202000103", "01020001", "8200007F000000", "8100000200"):
            client.send(hx(request))
        client.send(hx("08"))
        self.assertEqual(client.until(frame(hx("090200"))), ACK * 5 + frame(hx("090200")))
        self.assertEqual(len(self.commands()), sent)

    def test_routes_from_other_doors_reach_every_client(self):
        standard, extended = self.client(), self.client()
        extended.ask(hx("9500FF"), hx("9700FF00 0000"))
        raw = Line(self.hub.raw)
        self.addCleanup(raw.close)
        raw.exchange("7B6.", "AV:")
        # Both levels changed: one message per level; a later audio-only route, one. (A protect
        # an earlier connection left may be announced meanwhile.)
        self.assertIn(frame(hx("0400000506")) + frame(hx("0401000506")),
                      standard.until(frame(hx("0401000506"))))
        self.assertIn(frame(hx("8400000005000600")) + frame(hx("8400010005000600")),
                      extended.until(frame(hx("8400010005000600"))))
        standard.take()
        raw.exchange("2A6.", "A:")
        self.assertIn(frame(hx("0401000501")), standard.until(frame(hx("0401000501"))))
        self.assertNotIn(b"\x04\x00\x00\x05", standard.take())

    def test_dumps_and_names(self):
        cookie = self.hub.session()
        for side, number, label in (("inputs", 2, "Cam\u00e9ra 2"), ("outputs", 1, "Projector"),
                                    ("inputs", 3, "A very long source name that goes on")):
            status = self.hub.request("PUT", "/api/v1/%s/%d/label" % (side, number),
                                      {"label": label}, cookie)[0]
            self.assertEqual(status, 200)
        client = self.client()
        client.send(hx("1500"))
        dump = client.until(b"\x10\x02\x17\x00\x40\x00\xc0")  # the fourth names destination 192
        self.assertEqual(dump.count(b"\x10\x02\x17\x00\x40"), 4, "256 tallies, 64 per message")
        ok, got = client.ask(hx("950002"), hx("97000200 0000"))  # a level with nothing on it
        self.assertTrue(ok, got[:80].hex(" "))
        # (request, first reply): lengths 4, 8, 12, 16 and 32, every name form.
        def text(name):
            return name.encode().hex()
        cases = [
            ("640000", "6A0000000020" + text("InpuCam?A ve")),
            ("6401", "6A0001000010" + text("Input 1 Cam?ra 2")),  # the length alone
            ("6500010001", "6A0001000101" + text("Cam?ra 2")),
            ("E4000002", "EA00000200000A" + text("Input 1     ")),
            ("E50000040002", "EA0000040002 01" + text("A very long source name that goe")),
            ("E60003", "EB0003000008" + text("Projector       ")),
            ("E700010000", "EB0001000001" + text("Projecto")),
            ("660000", "6B0000000020" + text("ProjOutp")),
            ("6700010001", "6B0001000101" + text("Output 2")),
        ]
        for request, reply in cases:
            with self.subTest(request=request):
                client.take()
                client.send(hx(request))
                start = b"\x10\x02" + hx(reply).replace(b"\x10", b"\x10\x10")
                got = client.until(start)
                self.assertIn(start, got, got[:80].hex(" "))

    def test_locks_and_protects_across_doors(self):
        router = Line(self.hub.router)
        self.addCleanup(router.close)
        router.exchange("", "END PRELUDE:")
        router.exchange("VIDEO OUTPUT ROUTING:\n9 4\n\n", "ACK")
        self.assertTrue(wait_until(lambda: "5B10." in self.commands()))
        router.exchange("VIDEO OUTPUT LOCKS:\n9 O\n\n", "ACK")
        client, other = self.client(), self.client()
        sent = len(self.commands())
        # Locked on the router door: not switched, answered with the source it keeps, and
        # shown protected by device 1023.
        self.assertTrue(client.ask(hx("0200000901"), hx("0400000904"))[0])
        self.assertTrue(client.ask(hx("0A000009"), hx("0B000107097F"))[0])
        self.assertEqual(len(self.commands()), sent)
        # A protect over SW-P-08: every client hears it; the raw, web and router doors and the
        # other connection are refused; its holder routes; closing the connection ends it.
        self.assertTrue(client.ask(hx("0C00000305"), hx("0D0001000305"))[0])
        self.assertIn(frame(hx("0D0001000305")), other.until(frame(hx("0D0001000305"))))
        raw = Line(self.hub.raw)
        self.addCleanup(raw.close)
        self.assertIn("System Locked!", raw.exchange("1B4.", "System Locked!"))
        status = self.hub.request("POST", "/api/v1/routes", {"routes": [{"output": 4, "input": 1}]},
                                  self.hub.session())[0]
        self.assertEqual(status, 423)
        self.assertIn("3 L", router.exchange("VIDEO OUTPUT LOCKS:\n\n", "3 L"))
        self.assertTrue(other.ask(hx("0E00000307"), hx("0F0001000305"))[0])
        self.assertTrue(client.ask(hx("0200000302"), hx("0400000302"))[0])
        self.assertEqual(self.commands()[-1], "3V4.")
        client.close()
        released = frame(hx("0F0000000305"))
        self.assertIn(released, other.until(released))
        self.assertTrue(other.ask(hx("0A000003"), hx("0B0000000300"))[0])


class SerialLine(unittest.TestCase):
    def test_a_control_system_on_a_serial_line(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        path = os.ttyname(slave)
        with Rig("--swp08-serial", path, "--swp08-baud", "38400") as rig:
            os.close(slave)
            self.assertTrue(wait_until(lambda: "swp08: opened " + path in rig.hub.log()),
                            rig.hub.log())
            received = bytearray()

            def until(wanted):
                def more():
                    ready, _, _ = select.select([master], [], [], 0.05)
                    if ready:
                        received.extend(os.read(master, 4096))
                    return wanted in received
                return wait_until(more)

            os.write(master, frame(hx("0200000403")))
            self.assertTrue(until(ACK + frame(hx("0400000403"))), bytes(received).hex(" "))
            self.assertIn("4V5.", rig.switcher.received())
            # A route made on TCP reaches the line too.
            tcp = Client(rig.hub.swp08)
            self.addCleanup(tcp.close)
            self.assertTrue(tcp.ask(hx("0201000407"), hx("0401000407"))[0])
            self.assertTrue(until(frame(hx("0401000407"))), bytes(received).hex(" "))


@unittest.skipUnless(shutil.which("npm") and shutil.which("node"),
                     "npm is not installed: the third-party SW-P-08 client cannot be run")
class ThirdPartyClient(unittest.TestCase):
    def test_probel_swp_08_routes_and_reads_names(self):
        folder = os.path.abspath(os.environ.get("SWP08_NODE_DIR") or os.path.join(
            tempfile.gettempdir(), "matrixpanel-swp08-node"))
        os.makedirs(folder, exist_ok=True)
        if not os.path.isdir(os.path.join(folder, "node_modules", "probel-swp-08")):
            npm_install(folder, "probel-swp-08@0.0.24")
        with Rig(inputs=16, outputs=16) as rig:
            cookie = rig.hub.session()
            rig.hub.request("PUT", "/api/v1/inputs/3/label", {"label": "Camera 3"}, cookie)
            host, port = address(rig.hub.swp08)
            script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "probel_client.js")
            run = subprocess.run(["node", script, host, str(port)], capture_output=True, text=True,
                                 timeout=120, env=dict(os.environ, NODE_PATH=os.path.join(
                                     folder, "node_modules")))
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr + rig.hub.log())
            self.assertIn("source 3: Camera 3", run.stdout)
            self.assertTrue(wait_until(lambda: "4V5." in rig.switcher.received()),
                            rig.switcher.received())


if __name__ == "__main__":
    unittest.main()
