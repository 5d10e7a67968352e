"""The web panel in Debian's headless Chromium, against a real matrixd and matrixsim.

Run: MATRIXD=… MATRIXSIM=… MATRIXCTL=… /usr/bin/python3 tests/web/browser_test.py
"""
import json
import os
import re
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Hub, Rig, npm_install, wait_until  # noqa: E402

try:
    from chromium import Chromium, CHROMEDRIVER, available  # noqa: E402
    from selenium.webdriver.common.keys import Keys  # noqa: E402
except ImportError as e:
    Chromium, CHROMEDRIVER, available, Keys = None, "/usr/bin/chromedriver", lambda: False, None
    missing = str(e)
else:
    missing = None

ROUTE = re.compile(r"^\d+B\d+\.$")
SLOW = 15.0  # generous: a loaded machine must not fail a test


def setUpModule():
    if missing:
        raise unittest.SkipTest("selenium is not importable (%s)" % missing)
    if not available():
        raise unittest.SkipTest("no %s (apt install chromium-driver)" % CHROMEDRIVER)
    unset = [v for v in ("MATRIXD", "MATRIXSIM", "MATRIXCTL") if not os.environ.get(v)]
    if unset:
        raise unittest.SkipTest("set %s to the built binaries" % ", ".join(unset))


class PanelCase(unittest.TestCase):
    """One rig and one browser for the class; every test starts on a freshly loaded page."""
    rig_args = ()
    size = 8  # inputs and outputs

    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(*cls.rig_args, inputs=cls.size, outputs=cls.size)
        try:
            cls.browser = Chromium(1280, 800)
        except Exception:
            cls.rig.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.rig.__exit__(None, None, None)

    def setUp(self):
        self.load(self.browser)
        self.addCleanup(self.no_csp_violation, self.browser)

    def no_csp_violation(self, browser):
        self.assertEqual(browser.csp_violations(), [], "the page's own policy refused something")

    def load(self, browser, fragment=""):
        browser.get(self.rig.hub.url("/" + fragment))
        self.wait(lambda: browser.execute_script(
            "return !document.getElementById('work').hidden"
            " && document.querySelectorAll('button.output').length === arguments[0]",
            self.size), "the panel to load", timeout=60)

    def wait(self, predicate, what, timeout=SLOW):
        self.assertTrue(wait_until(predicate, timeout), "timed out waiting for " + what)

    def click(self, css, browser=None):
        (browser or self.browser).find_element("css selector", css).click()

    def attr(self, css, name, browser=None):
        return (browser or self.browser).execute_script(
            "const e = document.querySelector(arguments[0]);"
            " return e && e.getAttribute(arguments[1]);", css, name)

    def label(self, output, browser=None):
        """Output's accessible name as a screen reader gets it."""
        return (browser or self.browser).find_element(
            "css selector", 'button.output[data-n="%d"]' % output).accessible_name

    def routes_since(self, mark):
        return [c for c in self.rig.switcher.received()[mark:] if ROUTE.match(c)]

    def shows_source(self, output, source):
        return lambda: ("source %d " % source) in (self.label(output) or "")


class RoutingTest(PanelCase):

    def test_output_then_input_sends_one_route(self):
        mark = len(self.rig.switcher.received())
        self.click('button.output[data-n="5"]')
        self.click('button.source[data-n="3"]')
        self.wait(self.shows_source(5, 3), "Output 5 to show source 3")
        self.assertEqual(self.routes_since(mark), ["3B5."])

    def test_route_from_matrixctl_shows(self):
        # matrixctl lingers for late replies after the route is done, so watch meanwhile.
        with ThreadPoolExecutor(1) as pool:
            start = time.monotonic()
            ctl = pool.submit(self.rig.hub.ctl, "route", "4", "6")
            self.wait(self.shows_source(6, 4), "Output 6 to show source 4")
            shown = time.monotonic() - start
            self.assertEqual(ctl.result().returncode, 0)
        print("\nmatrixctl route to page: %.0f ms" % (shown * 1000), file=sys.stderr)

    def test_audio_level_routes_the_sound_alone(self):
        mark = len(self.rig.switcher.received())
        self.click("#level-audio")
        self.click('button.output[data-n="5"]')
        self.click('button.source[data-n="2"]')
        self.wait(lambda: "audio: 2 " in self.label(5), "Output 5 to show its sound from input 2")
        self.assertEqual([c for c in self.rig.switcher.received()[mark:] if re.match(r"^\d+[ABV]\d+\.$", c)],
                         ["2A5."])

    def test_take_sends_staged_routes_in_one_request(self):
        mark = len(self.rig.switcher.received())
        self.click("#take-mode")
        for output, source in ((1, 7), (2, 8)):
            self.click('button.output[data-n="%d"]' % output)
            self.click('button.source[data-n="%d"]' % source)
        self.wait(lambda: "pending source 8" in self.label(2), "Output 2 to be staged")
        self.assertEqual(self.routes_since(mark), [])
        self.browser.execute_script("""
            window.routeBodies = [];
            const fetch = window.fetch;
            window.fetch = (url, init) => {
              if (String(url).endsWith('/api/v1/routes')) window.routeBodies.push(init.body);
              return fetch(url, init);
            };""")
        self.click("#take")
        self.wait(lambda: {"7B1.", "8B2."} <= set(self.routes_since(mark)), "both routes")
        self.assertEqual(len(self.browser.execute_script("return window.routeBodies")), 1)

    def test_salvo_brings_routes_back(self):
        self.browser.find_element("id", "salvo-name").send_keys("Show")
        self.click("#salvo-save")
        self.wait(lambda: self.attr('li.salvo[data-name="Show"]', "data-name"), "salvo Show")
        saved = int(re.search(r"source (\d+)", self.label(8)).group(1))
        other = saved % 8 + 1
        self.rig.hub.ctl("route", str(other), "8")
        self.wait(self.shows_source(8, other), "Output 8 to change")
        mark = len(self.rig.switcher.received())
        self.click('li.salvo[data-name="Show"] button.salvo-take')
        self.wait(self.shows_source(8, saved), "Output 8 to be back")
        self.assertIn("%dB8." % saved, self.routes_since(mark))

    def test_lock_shows_to_another_browser(self):
        self.addCleanup(self.rig.hub.request, "POST", "/api/v1/outputs/3/lock",
                        {"action": "force"})
        self.click('button.output[data-n="3"]')
        self.click("#lock-button")
        self.wait(lambda: self.attr('button.output[data-n="3"]', "data-lock") == "mine",
                  "the lock to be mine")
        other = Chromium(1280, 800)
        self.addCleanup(other.quit)
        self.load(other)
        self.wait(lambda: self.attr('button.output[data-n="3"]', "data-lock", other) == "other",
                  "the lock to show as another's")
        self.addCleanup(self.no_csp_violation, other)
        # A mark to see, not only a colour: the lock's icon is drawn.
        self.assertTrue(other.execute_script(
            "const r = document.querySelector('button.output[data-n=\"3\"] .lock')"
            ".getBoundingClientRect(); return r.width > 0 && r.height > 0"))
        self.click('button.output[data-n="3"]', other)
        disabled = other.execute_script(
            "return [...document.querySelectorAll('button.source')].map(b => b.disabled)")
        self.assertEqual(disabled, [True] * 8)
        other.execute_script("window.confirm = () => true")
        self.click("#lock-button", other)
        self.wait(lambda: self.browser.find_element("id", "message").text
                  == "Output 3 was unlocked by another controller", "the first browser to be told")

    def test_phone_width_never_scrolls_sideways(self):
        self.addCleanup(self.browser.resize, 1280, 800)
        self.browser.resize(360, 740)
        # clientWidth, not innerWidth: the desktop scrollbar takes its share of the 360 px.
        overflow = ("return document.documentElement.scrollWidth"
                    " - document.documentElement.clientWidth")
        self.click('button.output[data-n="1"]')
        self.wait(lambda: self.attr("#sources", "hidden") is None, "the sources")
        self.assertLessEqual(self.browser.execute_script(overflow), 0, "buttons view")
        self.click("#view-grid")
        self.wait(lambda: self.attr("button.cell", "data-input"), "the grid")
        self.assertLessEqual(self.browser.execute_script(overflow), 0, "grid view")


class SearchTest(PanelCase):
    size = 1024

    def test_search_finds_input_700_and_routes_it(self):
        mark = len(self.rig.switcher.received())
        self.click('button.output[data-n="3"]')
        self.browser.find_element("tag name", "body").send_keys("/")
        self.assertEqual(self.browser.switch_to.active_element.get_attribute("id"), "find")
        self.browser.switch_to.active_element.send_keys("700")
        self.wait(lambda: self.browser.execute_script(
            "return document.querySelectorAll('button.source:not([hidden])').length === 1"),
            "the search to leave one source")
        self.click('button.source[data-n="700"]')
        self.wait(lambda: self.attr('button.source[data-n="700"]', "aria-pressed") == "true",
                  "source 700 to show as Output 3's")
        self.assertEqual(self.routes_since(mark), ["700B3."])


class BigGridTest(PanelCase):
    size = 288

    def test_grid_shows_a_route_from_matrixctl(self):
        self.click("#view-grid")
        self.assertEqual(self.rig.hub.ctl("route", "250", "280").returncode, 0)
        # Scroll to row 280, column 250: only what is in view is drawn.
        self.browser.execute_script("""
            const s = document.getElementById('grid-scroll'), c = document.querySelector('#grid .c');
            s.scrollTop = 279 * c.offsetHeight; s.scrollLeft = 249 * c.offsetWidth;""")
        cell = 'button.cell[data-output="280"][data-input="250"]'
        self.wait(lambda: self.attr(cell, "aria-pressed") == "true", "the cell to show the route")
        self.assertLess(self.browser.execute_script(
            "return document.querySelectorAll('button.cell').length"), 288 * 288 // 10)

    def test_arrow_keys_walk_out_of_the_drawn_window(self):
        self.click("#view-grid")
        self.wait(lambda: self.attr('button.cell[data-output="2"][data-input="1"]', "data-input"), "the grid")
        self.browser.execute_script(
            "document.querySelector('button.cell[data-output=\"2\"][data-input=\"1\"]').focus()")
        for key in [Keys.ARROW_RIGHT] * 40 + [Keys.ARROW_DOWN] * 30:
            self.browser.switch_to.active_element.send_keys(key)
        # The cells handed from the columns and rows that left the view say where they now are.
        where = self.browser.execute_script("""
            const c = document.activeElement, row = c.closest('[role=row]');
            const places = [...row.querySelectorAll('[role=gridcell]')].map((g) => g.getAttribute('aria-colindex'));
            return [c.dataset.output, c.dataset.input, c.getAttribute('aria-label'),
                    c.parentNode.getAttribute('aria-colindex'), row.getAttribute('aria-rowindex'),
                    places.every((k, j) => j === 0 || Number(k) === Number(places[j - 1]) + 1),
                    document.querySelectorAll('#grid [tabindex="0"]').length]""")
        self.assertEqual(where, ["32", "41", "Input 41 to Output 32", "42", "33", True, 1])


def axe_source():
    """axe-core's script, installed from npm on first use (MP_NPM_PREFIX, else a cache folder)."""
    prefix = os.environ.get("MP_NPM_PREFIX") or os.path.expanduser("~/.cache/matrixpanel/npm")
    script = os.path.join(prefix, "node_modules", "axe-core", "axe.min.js")
    if not os.path.exists(script):
        npm_install(prefix, "axe-core@4")
    with open(script, encoding="utf-8") as f:
        return f.read()


class AccessibilityTest(PanelCase):
    """axe-core finds nothing to mend in each state an operator meets."""
    rig_args = ("--reply-wait", "100")

    def violations(self):
        found = self.browser.execute_async_script("""
            const done = arguments[arguments.length - 1];
            axe.run(document, {resultTypes: ['violations']})
              .then(r => done(r.violations.map(v => v.id + ': ' + v.nodes.map(n => n.target).join(' | '))),
                    e => done(['axe failed: ' + e]));""")
        return found

    def test_nine_states(self):
        self.addCleanup(self.rig.switcher.resume)
        self.rig.hub.request("PUT", "/api/v1/salvos/Show",
                             {"routes": [{"output": 1, "input": 2}, {"output": 2, "input": 3}]})
        self.rig.hub.request("POST", "/api/v1/outputs/4/lock", {"action": "lock"},
                             cookie=self.rig.hub.session())
        self.addCleanup(self.rig.hub.request, "POST", "/api/v1/outputs/4/lock", {"action": "force"})
        self.load(self.browser)
        self.wait(lambda: self.attr('button.output[data-n="4"]', "data-lock") == "other", "the lock")
        self.browser.execute_script(axe_source())
        message = "return document.getElementById('message').textContent"
        states = [
            ("first load", lambda: None),
            ("output selected", lambda: self.click('button.output[data-n="1"]')),
            ("Take staged", lambda: (self.click("#take-mode"), self.click('button.source[data-n="5"]'))),
            ("renaming", lambda: self.click("#rename-inputs")),
            ("grid", lambda: (self.click("#rename-inputs"), self.click("#view-grid"))),
            ("salvo list open", lambda: (self.click('li.salvo[data-name="Show"] button.salvo-toggle'),
                                         self.click("#salvo-pick summary"))),
            ("locked by another", lambda: (self.click("#view-buttons"),
                                           self.click('button.output[data-n="4"]'))),
            ("toast shown", lambda: (self.click("#salvo-save"),
                                     self.wait(lambda: self.browser.execute_script(message), "a toast"))),
            ("switcher absent", lambda: (self.rig.switcher.pause(), self.wait(
                lambda: self.browser.execute_script("return !document.getElementById('absent-banner')"
                                                    ".hidden"), "the banner", timeout=40))),
        ]
        for name, enter in states:
            with self.subTest(state=name):
                enter()
                self.assertEqual(self.violations(), [])


class AbsentTest(PanelCase):
    # A short reply wait so three unanswered probes come sooner.
    rig_args = ("--reply-wait", "100")

    def test_banner_while_switcher_is_stopped(self):
        banner = "return document.getElementById('absent-banner').hidden"
        self.assertTrue(self.browser.execute_script(banner))
        self.addCleanup(self.rig.switcher.resume)
        self.rig.switcher.pause()
        self.wait(lambda: not self.browser.execute_script(banner), "the banner", timeout=40)
        self.assertTrue(self.browser.find_element("id", "absent-banner").text
                        .startswith("Switcher not answering"))
        self.rig.switcher.resume()
        self.wait(lambda: self.browser.execute_script(banner), "the banner to go", timeout=40)

    def test_greyed_while_matrixd_is_stopped(self):
        stale = ("return [document.getElementById('work').classList.contains('stale'),"
                 " document.getElementById('absent-banner').hidden,"
                 " document.querySelector('button.source').disabled]")
        self.click('button.output[data-n="2"]')
        self.assertEqual(self.browser.execute_script(stale), [False, True, False])
        port = self.rig.hub.web.split(":")[1]
        self.rig.hub.stop()
        self.wait(lambda: self.browser.execute_script(stale) == [True, False, True], "grey")
        self.assertIn("not reachable", self.browser.find_element("id", "absent-banner").text)
        self.rig.hub = Hub(self.rig.dir.name, self.rig.switcher, "--reply-wait", "100",
                           "--web-port", port)
        self.wait(lambda: self.browser.execute_script(stale) == [False, True, False], "live again")



class RebindingTest(unittest.TestCase):
    """A page of another site whose name resolves to this machine (DNS rebinding)."""

    def test_a_page_under_another_name_gets_nothing(self):
        with Rig() as rig:
            browser = Chromium(800, 600, ["--host-resolver-rules=MAP rebind.evil.test 127.0.0.1"])
            self.addCleanup(browser.quit)
            port = rig.hub.web.split(":")[1]
            browser.get("http://rebind.evil.test:%s/" % port)
            self.assertIn("names a host other than this one",
                          browser.find_element("tag name", "body").text)
            mark = len(rig.switcher.received())
            # What the other site's script would send from there: same origin to the browser.
            status = browser.execute_async_script("""
                const done = arguments[arguments.length - 1];
                fetch('/api/v1/routes', {method: 'POST', headers: {'Content-Type':
                      'application/json'}, body: '{"routes": [{"output": 1, "input": 2}]}'})
                  .then(r => done(r.status), () => done(0));""")
            self.assertEqual(status, 421)
            self.assertEqual(rig.switcher.received()[mark:], [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
