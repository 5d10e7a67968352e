"""Debian's headless Chromium for the browser tests, the pictures and the load bench."""
import os
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

WATCH_CSP = """
window.cspViolations = [];
document.addEventListener('securitypolicyviolation',
  (e) => window.cspViolations.push(e.violatedDirective + ': ' + e.blockedURI));
"""


def available():
    return os.access(CHROMEDRIVER, os.X_OK) and os.access(CHROMIUM, os.X_OK)


class Chromium(webdriver.Chrome):
    """A browser with a profile of its own, thrown away by quit(); `args` go to Chromium."""

    def __init__(self, width=1280, height=800, args=()):
        self._profile = tempfile.TemporaryDirectory(prefix="mp-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        # --no-sandbox: the tests may run as root, where the sandbox refuses to start.
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu",
                    "--disable-dev-shm-usage", "--no-first-run",
                    "--user-data-dir=" + self._profile.name) + tuple(args):
            options.add_argument(arg)
        try:
            super().__init__(service=Service(CHROMEDRIVER), options=options)
        except Exception:
            self._profile.cleanup()
            raise
        try:
            self.resize(width, height)
            # Every page this browser opens records what its content security policy refused.
            self.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": WATCH_CSP})
        except Exception:
            self.quit()
            raise

    def csp_violations(self):
        """What the open page's content security policy refused so far ("directive: URI")."""
        return self.execute_script("return window.cspViolations || []")

    def resize(self, width, height):
        """Makes the page's viewport, not the window around it, width × height."""
        self.set_window_size(width, height)
        inner_w, inner_h = self.execute_script("return [innerWidth, innerHeight]")
        if (inner_w, inner_h) != (width, height):
            self.set_window_size(2 * width - inner_w, 2 * height - inner_h)

    def quit(self):
        try:
            super().quit()
        finally:
            self._profile.cleanup()
