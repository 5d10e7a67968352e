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
        self.order = []  # (topic, payload) as they came
        self.client = mqtt.Client()
        if user:
            self.client.username_pw_set(user, password)
        self.client.on_message = self._message
        self.client.on_connect = lambda c, *_: [c.subscribe(t, 1) for t in topics]
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()

    def _message(self, _client, _data, message):
        self.last[message.topic] = message.payload.decode(errors="replace")
        self.order.append((message.topic, self.last[message.topic]))
        self.count[message.topic] = self.count.get(message.topic, 0) + 1

    def wait(self, topic, payload, timeout=10):
        return wait_until(lambda: self.last.get(topic) == payload, timeout)

    def publish(self, topic, payload, retain=False):
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish()

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
        # What earlier runs left: a config of this switcher under another identifier (it was
        # reached another way), and one of somebody else's that watches our state.
        cls.stale = "homeassistant/select/matrixd_0123456789ab/output_1/config"
        cls.foreign = "homeassistant/sensor/dashboard/studio_a/config"
        cls.watch.publish(cls.stale, json.dumps({
            "unique_id": "matrixd_0123456789ab_output_1", "options": ["Input 1"],
            "command_topic": BASE + "/output/1/input/set"}), retain=True)
        cls.watch.publish(cls.foreign, json.dumps({
            "unique_id": "dashboard_studio_a", "state_topic": BASE + "/state"}), retain=True)
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
        """This run's discovery configs, by topic."""
        configs = {topic: json.loads(payload) for topic, payload in self.watch.last.items()
                   if topic.startswith("homeassistant/") and topic.endswith("/config") and payload}
        return {topic: config for topic, config in configs.items()
                if config.get("availability", [{}])[0].get("topic") == BASE + "/status"}

    def error_after(self, topic, payload, echoed=None):
        self.watch.last.pop(BASE + "/error", None)
        self.watch.publish(topic, payload)
        self.assertTrue(wait_until(lambda: BASE + "/error" in self.watch.last))
        error = json.loads(self.watch.last[BASE + "/error"])
        self.assertEqual((error["topic"], error["payload"]),
                         (topic, payload if echoed is None else echoed))
        return error["error"]

    def test_bad_commands_are_answered_with_what_is_wrong(self):
        cases = [
            ("output/99/input/set", "1", None, "no such input or output"),
            ("output/1/input/set", "Nobody", None, "no input is labelled"),
            ("output/1/lock/set", "grab", None, "expected lock, unlock or force"),
            ("salvo/Show%2/take", "PRESS", None, "%25"),
            ("output/1/label/set", "x" * 100000, "", "at most 64 KiB"),
        ]
        for topic, payload, echoed, answer in cases:
            self.assertIn(answer, self.error_after(BASE + "/" + topic, payload, echoed), topic)
        self.assertEqual(self.watch.last[BASE + "/output/1/label"], "Output 1")

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

    def test_audio_and_video_apart_both_ways(self):
        self.hub.ctl("route", "1", "5")
        self.assertTrue(self.watch.wait(BASE + "/output/5/audio", "1"))
        self.hub.ctl("route", "3", "5", "--audio")
        self.hub.ctl("route", "4", "5", "--video")
        self.assertTrue(self.watch.wait(BASE + "/output/5/input", "4"))
        self.assertTrue(self.watch.wait(BASE + "/output/5/audio", "3"))
        self.assertTrue(self.watch.wait(BASE + "/output/5/audio/source", "Input 3"))

        def shown():
            output = json.loads(self.watch.last[BASE + "/state"])["outputs"][4]
            return output["input"], output["audio"]
        self.assertTrue(wait_until(lambda: shown() == (4, 3)))

        self.watch.publish(BASE + "/output/5/audio/set", "2")
        self.watch.publish(BASE + "/output/5/video/set", "Input 6")
        self.assertTrue(wait_until(lambda: {"2A5.", "6V5."} <= set(self.rig.switcher.received())))
        self.assertTrue(self.watch.wait(BASE + "/output/5/audio", "2"))
        self.assertTrue(self.watch.wait(BASE + "/output/5/input", "6"))

    def test_an_audio_picker_only_with_ha_audio(self):
        with Rig("--mqtt", self.broker.url, "--name", "Studio B", "--ha-audio") as rig:
            base = "matrixpanel/studio_b"
            config = wait_until(lambda: next(
                (json.loads(p) for t, p in list(self.watch.last.items())
                 if t.endswith("/output_2_audio/config") and base + "/" in p), None))
            self.assertTrue(config)
            self.assertEqual((config["command_topic"], config["state_topic"]),
                             (base + "/output/2/audio/set", base + "/output/2/audio/source"))
            self.assertLessEqual(set(config), HA_KEYS["select"][1])
            rig.hub.ctl("route", "7", "2", "--audio")
            self.assertTrue(self.watch.wait(base + "/output/2/audio/source", "Input 7"))
        self.assertFalse(any(t.endswith("_audio/config") for t in self.configs()))

    def test_a_locked_output_is_answered_on_error_and_left_alone(self):
        self.assertEqual(self.hub.request("POST", "/api/v1/outputs/7/lock", {"action": "lock"},
                                          self.hub.session())[0], 200)
        self.assertTrue(self.watch.wait(BASE + "/output/7/lock", "locked"))
        sent = len(self.rig.switcher.received())
        self.assertIn("locked", self.error_after(BASE + "/output/7/input/set", "2"))
        self.assertEqual(len(self.rig.switcher.received()), sent)
        self.watch.publish(BASE + "/output/7/lock/set", "force")
        self.assertTrue(self.watch.wait(BASE + "/output/7/lock", "none"))

    def test_a_renamed_input_is_announced_before_the_pickers_show_it(self):
        self.hub.ctl("route", "4", "3")
        self.assertTrue(self.watch.wait(BASE + "/output/3/source", "Input 4"))
        select = "homeassistant/select/%s/output_3/config" % topic_node(self.configs())
        self.watch.publish(BASE + "/input/4/label/set", "None")
        self.assertTrue(self.watch.wait(BASE + "/output/3/source", "None (4)"))
        order = self.watch.order
        shown = order.index((BASE + "/output/3/source", "None (4)"))
        announced = min(i for i, (topic, payload) in enumerate(order)
                        if topic == select and "None (4)" in json.loads(payload)["options"])
        self.assertLess(announced, shown)
        self.watch.publish(BASE + "/output/2/input/set", "None (4)")
        self.assertTrue(wait_until(lambda: "4B2." in self.rig.switcher.received()))
        self.watch.publish(BASE + "/input/4/label/set", "")
        self.assertTrue(self.watch.wait(BASE + "/output/3/source", "Input 4"))

    def test_an_output_switched_off_shows_off_and_no_choice(self):
        self.hub.ctl("off", "6")
        self.assertTrue(self.watch.wait(BASE + "/output/6/input", "off"))
        self.assertEqual(self.watch.last[BASE + "/output/6/source"], "off")
        self.assertTrue(self.watch.wait(BASE + "/output/6/audio", "off"))
        select = self.configs()["homeassistant/select/%s/output_6/config" %
                                topic_node(self.configs())]
        self.assertNotIn("off", select["options"])
        self.assertIn("'off'", select["value_template"])
        self.hub.ctl("route", "2", "6")
        self.assertTrue(self.watch.wait(BASE + "/output/6/input", "2"))

    def test_an_mqtt_lock_holds_against_mqtt_until_unlocked(self):
        self.watch.publish(BASE + "/output/8/lock/set", "lock")
        self.assertTrue(self.watch.wait(BASE + "/output/8/lock", "locked"))
        sent = len(self.rig.switcher.received())
        self.assertIn("locked over MQTT", self.error_after(BASE + "/output/8/input/set", "3"))
        self.assertIn("locked over MQTT", self.error_after(BASE + "/output/8/audio/set", "3"))
        self.assertEqual(len(self.rig.switcher.received()), sent)
        self.watch.publish(BASE + "/output/8/lock/set", "unlock")
        self.assertTrue(self.watch.wait(BASE + "/output/8/lock", "none"))
        self.watch.publish(BASE + "/output/8/input/set", "3")
        self.assertTrue(wait_until(lambda: "3B8." in self.rig.switcher.received()))

    def test_configs_of_this_switcher_left_by_earlier_runs_are_emptied(self):
        self.assertTrue(self.watch.wait(self.stale, ""))
        self.assertIn("dashboard_studio_a", self.watch.last[self.foreign])

    def test_y_a_flood_of_bad_commands_gets_few_answers_and_keeps_the_connection(self):
        statuses = self.watch.count[BASE + "/status"]
        errors = len([1 for topic, _ in self.watch.order if topic == BASE + "/error"])
        start = time.monotonic()
        for _ in range(5000):
            self.watch.client.publish(BASE + "/output/99/input/set", "1", qos=0)
        summary = wait_until(lambda: next((json.loads(p) for t, p in self.watch.order[::-1]
                                           if t == BASE + "/error" and "left_out" in p), None),
                             timeout=60)
        self.assertTrue(summary)
        answered = len([1 for topic, _ in self.watch.order if topic == BASE + "/error"]) - errors
        self.assertLessEqual(answered, 21 * (time.monotonic() - start + 2))
        self.assertEqual(self.watch.count[BASE + "/status"], statuses)
        self.assertNotIn("lost the broker", self.hub.log())

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
        self.assertEqual([salvo["name"] for salvo in json.loads(self.watch.last[BASE + "/salvos"])],
                         ["Show+start"])
        self.assertNotIn("salvos", json.loads(self.watch.last[BASE + "/state"]))
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
