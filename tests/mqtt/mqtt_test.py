"""The MQTT door from the outside: a real mosquitto broker, the real matrixd between matrixsim
and it, and a second MQTT client (paho) in the test. Run with Debian's /usr/bin/python3."""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import paho.mqtt.client as mqtt

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../web"))
from harness import Rig, wait_until  # noqa: E402

BASE = "matrixpanel/studio_a"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on a free loopback port; with `users` ({name: password}) only they may in."""

    def __init__(self, workdir, users=None):
        self.port = free_port()
        self.config = os.path.join(workdir, "mosquitto.conf")
        lines = ["listener %d 127.0.0.1" % self.port, "user root" if os.getuid() == 0 else ""]
        if users:
            passwords = os.path.join(workdir, "passwords")
            for name, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if name == list(users)[0]
                                                             else []) +
                               [passwords, name, password], check=True, capture_output=True)
            lines += ["allow_anonymous false", "password_file " + passwords]
        else:
            lines.append("allow_anonymous true")
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.start()

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(self._listening), "mosquitto did not start"

    def _listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        self.process.terminate()
        self.process.wait()

    @property
    def url(self):
        return "mqtt://127.0.0.1:%d" % self.port


class Watcher:
    """A second MQTT client that keeps the last message of every topic and counts them all."""

    def __init__(self, broker, topics=("#",), user=None, password=None):
        self.last = {}
        self.count = {}
        self.client = mqtt.Client()
        if user:
            self.client.username_pw_set(user, password)
        self.client.on_message = self._message
        self.client.on_connect = lambda c, *_: [c.subscribe(t, 1) for t in topics]
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()

    def _message(self, _client, _data, message):
        self.last[message.topic] = message.payload.decode(errors="replace")
        self.count[message.topic] = self.count.get(message.topic, 0) + 1

    def wait(self, topic, payload, timeout=10):
        return wait_until(lambda: self.last.get(topic) == payload, timeout)

    def publish(self, topic, payload):
        self.client.publish(topic, payload, qos=1).wait_for_publish()

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


# Home Assistant's documented configuration keys of the entities matrixd announces (its MQTT
# select, button and binary sensor pages), and those each must have.
HA_KEYS = {
    "select": ({"command_topic", "options"},
               {"availability", "availability_mode", "availability_template",
                "availability_topic", "command_template", "command_topic", "device",
                "enabled_by_default", "encoding", "entity_category", "icon",
                "json_attributes_template", "json_attributes_topic", "name", "object_id",
                "optimistic", "options", "payload_available", "payload_not_available", "qos",
                "retain", "state_topic", "unique_id", "value_template"}),
    "button": ({"command_topic"},
               {"availability", "availability_mode", "availability_template",
                "availability_topic", "command_template", "command_topic", "device",
                "device_class", "enabled_by_default", "encoding", "entity_category", "icon",
                "json_attributes_template", "json_attributes_topic", "name", "object_id",
                "payload_available", "payload_not_available", "payload_press", "qos", "retain",
                "unique_id"}),
    "binary_sensor": ({"state_topic"},
                      {"availability", "availability_mode", "availability_template",
                       "availability_topic", "device", "device_class", "enabled_by_default",
                       "encoding", "entity_category", "expire_after", "force_update", "icon",
                       "json_attributes_template", "json_attributes_topic", "name", "object_id",
                       "off_delay", "payload_available", "payload_not_available", "payload_off",
                       "payload_on", "qos", "state_topic", "unique_id", "value_template"}),
}
DEVICE_KEYS = {"configuration_url", "connections", "hw_version", "identifiers", "manufacturer",
               "model", "name", "suggested_area", "sw_version", "via_device"}
AVAILABILITY_KEYS = {"payload_available", "payload_not_available", "topic", "value_template"}


class Mqtt(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="mp-mqtt-")
        cls.broker = Broker(cls.dir.name)
        cls.watch = Watcher(cls.broker)
        cls.rig = Rig("--mqtt", cls.broker.url, "--name", "Studio A")
        cls.hub = cls.rig.hub
        assert cls.watch.wait(BASE + "/switcher", "present")

    @classmethod
    def tearDownClass(cls):
        cls.watch.stop()
        cls.rig.__exit__()
        cls.broker.stop()
        cls.dir.cleanup()

    def configs(self):
        return {topic: json.loads(payload) for topic, payload in self.watch.last.items()
                if topic.startswith("homeassistant/") and topic.endswith("/config") and payload}

    def error_after(self, topic, payload):
        self.watch.last.pop(BASE + "/error", None)
        self.watch.publish(topic, payload)
        self.assertTrue(wait_until(lambda: BASE + "/error" in self.watch.last))
        error = json.loads(self.watch.last[BASE + "/error"])
        self.assertEqual((error["topic"], error["payload"]), (topic, payload))
        return error["error"]

    def test_routes_both_ways_and_labels_by_name(self):
        self.watch.publish(BASE + "/output/5/input/set", "3")
        self.assertTrue(wait_until(lambda: "3B5." in self.rig.switcher.received()))
        self.assertTrue(self.watch.wait(BASE + "/output/5/input", "3"))
        self.hub.ctl("route", "6", "4")
        self.assertTrue(self.watch.wait(BASE + "/output/4/input", "6"))
        self.assertTrue(self.watch.wait(BASE + "/output/4/source", "Input 6"))

        self.watch.publish(BASE + "/input/2/label/set", "Camera")
        self.assertTrue(self.watch.wait(BASE + "/input/2/label", "Camera"))
        self.watch.publish(BASE + "/output/1/input/set", "Camera")
        self.assertTrue(wait_until(lambda: "2B1." in self.rig.switcher.received()))
        self.assertTrue(self.watch.wait(BASE + "/output/1/source", "Camera"))
        state = json.loads(self.watch.last[BASE + "/state"])
        self.assertEqual(state["inputs"][1]["label"], "Camera")
        self.assertIn("no input", self.error_after(BASE + "/output/1/input/set", "Nobody"))

    def test_a_locked_output_is_answered_on_error_and_left_alone(self):
        self.assertEqual(self.hub.request("POST", "/api/v1/outputs/7/lock", {"action": "lock"},
                                          self.hub.session())[0], 200)
        self.assertTrue(self.watch.wait(BASE + "/output/7/lock", "locked"))
        sent = len(self.rig.switcher.received())
        self.assertIn("locked", self.error_after(BASE + "/output/7/input/set", "2"))
        self.assertEqual(len(self.rig.switcher.received()), sent)
        self.watch.publish(BASE + "/output/7/lock/set", "force")
        self.assertTrue(self.watch.wait(BASE + "/output/7/lock", "none"))

    def test_discovery_payloads_follow_home_assistants_keys(self):
        cookie = self.hub.session()
        self.hub.request("PUT", "/api/v1/salvos/Show+start", {"routes": [{"output": 2,
                                                                        "input": 8}]}, cookie)
        wait_until(lambda: any("/button/" in t for t in self.configs()))
        configs = self.configs()
        kinds = sorted(topic.split("/")[1] for topic in configs)
        self.assertEqual(kinds, ["binary_sensor", "button"] + ["select"] * 8)
        for topic, config in configs.items():
            required, documented = HA_KEYS[topic.split("/")[1]]
            self.assertLessEqual(required, set(config), topic)
            self.assertLessEqual(set(config), documented, topic)
            self.assertLessEqual(set(config["device"]), DEVICE_KEYS)
            for entry in config["availability"]:
                self.assertLessEqual(set(entry), AVAILABILITY_KEYS)
            self.assertEqual(config["availability"][0]["topic"], BASE + "/status")
        select = configs["homeassistant/select/" + topic_node(configs) + "/output_3/config"]
        self.assertEqual(len(select["options"]), 8)
        button = next(c for t, c in configs.items() if "/button/" in t)
        self.watch.publish(button["command_topic"], button.get("payload_press", "PRESS"))
        self.assertTrue(wait_until(lambda: "8B2." in self.rig.switcher.received()))

        # Home Assistant came back: everything is announced again. A deleted salvo's button
        # is taken back with an empty config.
        before = dict(self.watch.count)
        self.watch.publish("homeassistant/status", "online")
        self.assertTrue(wait_until(lambda: all(self.watch.count[t] > before[t]
                                               for t in configs)))
        button_topic = next(t for t in configs if "/button/" in t)
        self.hub.request("DELETE", "/api/v1/salvos/Show+start", None, cookie)
        self.assertTrue(self.watch.wait(button_topic, ""))

    def test_z_broker_restart_then_kill(self):
        self.broker.stop()
        self.watch.stop()
        self.broker.start()
        again = Watcher(self.broker)
        try:
            self.assertTrue(again.wait(BASE + "/status", "online", timeout=15))
            self.assertTrue(again.wait(BASE + "/switcher", "present"))
            self.assertTrue(wait_until(lambda: BASE + "/state" in again.last and
                                       BASE + "/output/5/input" in again.last))
            self.hub.process.send_signal(signal.SIGKILL)
            self.assertTrue(again.wait(BASE + "/status", "offline"))
        finally:
            again.stop()
            self.watch = Watcher(self.broker)  # for tearDownClass


def topic_node(configs):
    return next(iter(configs)).split("/")[2]


class Passwords(unittest.TestCase):
    def test_the_right_password_connects_and_a_wrong_one_is_one_line_and_retried(self):
        with tempfile.TemporaryDirectory(prefix="mp-mqtt-") as workdir:
            broker = Broker(workdir, users={"matrixd": "s3cret", "ha": "other"})
            watch = Watcher(broker, user="ha", password="other")
            good = os.path.join(workdir, "good")
            bad = os.path.join(workdir, "bad")
            open(good, "w").write("s3cret\n")
            open(bad, "w").write("wrong\n")
            try:
                for path, name in ((good, "Good"), (bad, "Bad")):
                    with Rig("--mqtt", broker.url, "--name", name, "--mqtt-user", "matrixd",
                             "--mqtt-password-file", path) as rig:
                        if path == good:
                            self.assertTrue(watch.wait("matrixpanel/good/status", "online"))
                            continue
                        time.sleep(3.5)  # three tries: after 0, 1 and 3 s
                        self.assertIsNone(rig.hub.process.poll())
                        refused = [line for line in rig.hub.log().splitlines()
                                   if "refused" in line]
                        self.assertEqual(len(refused), 1, rig.hub.log())
                        self.assertIn("password", refused[0])
            finally:
                watch.stop()
                broker.stop()


if __name__ == "__main__":
    unittest.main()
