"""First load of the web panel in headless Chromium, on loopback, to a usable 64 × 64 grid.

Each load is a first visit (no cache, no cookie) of URL#grid; the time is the page's own
performance.now() (milliseconds since navigation start) when the first grid cell exists,
taken by a MutationObserver installed before any of the page's scripts run.

Run: /usr/bin/python3 bench/web_first_load.py [LOADS]
MATRIXD and MATRIXSIM pick the binaries; by default build-rel's, else build-test's.
"""
import http.client
import os
import statistics
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))
from chromium import Chromium  # noqa: E402
from harness import Rig, wait_until  # noqa: E402

SIZE = 64
GOAL_MS = 300

WATCH = """
(() => {
  const seen = () => {
    if (!document.querySelector('button.cell')) return false;
    window.firstCell = performance.now();
    // A task queued from the next frame's callback runs once that frame is drawn.
    requestAnimationFrame(() => setTimeout(() => { window.firstFrame = performance.now(); }));
    return true;
  };
  const watch = new MutationObserver(() => { if (seen()) watch.disconnect(); });
  watch.observe(document, {childList: true, subtree: true});
})();
"""

TRANSFERRED = """
const all = [...performance.getEntriesByType('navigation'),
             ...performance.getEntriesByType('resource')];
return [all.length, all.reduce((s, e) => s + e.transferSize, 0),
        all.reduce((s, e) => s + e.decodedBodySize, 0),
        all.filter(e => e.transferSize === 0).map(e => e.name)];
"""


def pick_binaries():
    for build in ("build-rel", "build-test"):
        tools = os.path.join(ROOT, build, "tools")
        if os.access(os.path.join(tools, "matrixd", "matrixd"), os.X_OK):
            os.environ.setdefault("MATRIXD", os.path.join(tools, "matrixd", "matrixd"))
            os.environ.setdefault("MATRIXSIM", os.path.join(tools, "matrixsim", "matrixsim"))
            return
    sys.exit("no matrixd built; set MATRIXD and MATRIXSIM")


def page_files():
    folder = os.path.join(ROOT, "hub", "web", "page")
    names = [n for n in os.listdir(folder) if n != "README-dom.md"]
    return len(names), sum(os.path.getsize(os.path.join(folder, n)) for n in names)


def state_size(hub):
    host, port = hub.web.split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    connection.request("GET", "/api/v1/state")
    size = len(connection.getresponse().read())
    connection.close()
    return size


def load(browser, url):
    """(ms to the first cell, ms until it is drawn, ms to DOMContentLoaded, what the
    browser fetched)."""
    browser.get("about:blank")
    browser.execute_cdp_cmd("Network.clearBrowserCookies", {})
    browser.get(url)
    if not wait_until(lambda: browser.execute_script("return window.firstFrame"), 30):
        raise RuntimeError("no grid within 30 s")
    cell, frame, scripts = browser.execute_script(
        "return [window.firstCell, window.firstFrame,"
        " performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd]")
    return cell, frame, scripts, browser.execute_script(TRANSFERRED)


def main():
    loads = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    pick_binaries()
    with Rig(inputs=SIZE, outputs=SIZE) as rig:
        url = rig.hub.url("/#grid")
        state_bytes = state_size(rig.hub)
        browser = Chromium(1280, 800)
        try:
            browser.execute_cdp_cmd("Network.enable", {})
            browser.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": True})
            browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": WATCH})
            load(browser, url)  # warms the browser's own start-up, not counted
            runs = [load(browser, url) for _ in range(loads)]
        finally:
            browser.quit()

    cells = [r[0] for r in runs]
    frames = [r[1] for r in runs]
    scripts = [r[2] for r in runs]
    requests, transferred, bodies, cached = runs[-1][3]
    files, size = page_files()
    print("matrixd: %s, %d x %d, %d loads" % (os.environ["MATRIXD"], SIZE, SIZE, loads))
    print("grid cells exist:  median %.0f ms, max %.0f ms (goal <= %d ms)"
          % (statistics.median(cells), max(cells), GOAL_MS))
    print("  and drawn:        median %.0f ms, max %.0f ms"
          % (statistics.median(frames), max(frames)))
    # Module scripts run before DOMContentLoaded; after it come the session, the socket,
    # the state and the first render.
    print("  DOMContentLoaded: median %.0f ms" % statistics.median(scripts))
    print("  each: " + " ".join("%.0f" % c for c in cells))
    print("page files: %d bytes in %d files (README-dom.md left out)" % (size, files))
    print("transferred per load: %d bytes in %d requests (bodies %d bytes)%s"
          % (transferred, requests, bodies, "; from cache: %s" % cached if cached else ""))
    print("whole state (GET /api/v1/state, as the socket's first message): %d bytes"
          % state_bytes)
    return 0 if statistics.median(cells) <= GOAL_MS else 1


if __name__ == "__main__":
    sys.exit(main())
