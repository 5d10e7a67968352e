"""The web panel's grid in headless Chromium at 64, 288 and 1,024 inputs and outputs.

For each size, against a real matrixd and matrixsim on loopback, at desktop size (1440 × 900):
  first frame   URL#grid loaded afresh until its first cell is drawn (the page's own clock)
  memory        the tab's renderer process (proportional set size), once the grid is drawn,
                and at its largest during the salvo
  click         a cell clicked until it shows the route (matrixd and the switcher in between)
  elsewhere     a route made through the API until shown, after its WebSocket message came
  salvo         every output routed by one salvo: the page shows the last change this long
                after matrixd sent it, as a client of its events socket beside the page gets
                it (a poll of matrixd's whole state would itself run late whenever the page
                keeps the machine busy)
  scroll p95    the grid scrolled 120 px a frame for 120 frames, down, then from the top left
                across (turning back at the end of a small grid): each one's 95th percentile
                frame

A browser benchmark is a script, not a Google Benchmark: it drives Chromium through
WebDriver as the browser tests do. Not a test: nothing fails on a slow machine.

Run: /usr/bin/python3 bench/web_panel.py [SIZE...]   (default 64 288 1024)
MATRIXD, MATRIXSIM pick the binaries (default build-rel's, else build-test's); LIMIT_S caps
each wait (default 120 s), a figure beyond it shows as "> LIMIT".
"""
import json
import os
import statistics
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))
from chromium import Chromium  # noqa: E402
from harness import Rig, wait_until  # noqa: E402
import websocket  # noqa: E402

LIMIT = float(os.environ.get("LIMIT_S", "120"))
WIDTH, HEIGHT = 1440, 900

# Installed before the page's own scripts: the first cell's frame, and every WebSocket
# message's arrival (its event's time stamp) next to the time its handler was done.
PROBE = """
(() => {
  window.bench = {messages: []};
  const seen = () => {
    if (!document.querySelector('button.cell')) return false;
    requestAnimationFrame(() => setTimeout(() => { bench.firstFrame = performance.now(); }));
    return true;
  };
  const watch = new MutationObserver(() => { if (seen()) watch.disconnect(); });
  watch.observe(document, {childList: true, subtree: true});
  // Watches a cell until it shows the route: bench.cell = [ms shown, ms drawn] (page clock).
  bench.watchCell = (output, input) => {
    bench.cell = null;
    const css = `button.cell[data-output="${output}"][data-input="${input}"]`;
    const on = () => document.querySelector(css)?.getAttribute('aria-pressed') === 'true';
    const cells = new MutationObserver(() => {
      if (!on()) return;
      cells.disconnect();
      const shown = performance.now();
      requestAnimationFrame(() => setTimeout(() => { bench.cell = [shown, performance.now()]; }));
    });
    cells.observe(document.getElementById('grid'), {attributes: true, subtree: true, childList: true});
  };
  const slot = Object.getOwnPropertyDescriptor(WebSocket.prototype, 'onmessage');
  Object.defineProperty(WebSocket.prototype, 'onmessage', {
    get() { return slot.get.call(this); },
    set(fn) {
      slot.set.call(this, (e) => {
        fn.call(this, e);
        bench.messages.push([e.timeStamp, performance.now(), e.data.length]);
      });
    },
  });
})();
"""

# Scrolls the grid 120 px a frame along one axis, turning back at its ends, and answers the
# frames' lengths, sorted.
SCROLL = """
const [across, done] = arguments;
const s = document.getElementById('grid-scroll');
const key = across ? 'scrollLeft' : 'scrollTop';
const end = across ? s.scrollWidth - s.clientWidth : s.scrollHeight - s.clientHeight;
const times = [];
let n = 0, step = 120;
const frame = (t) => {
  times.push(t);
  if (n++ >= 120) {
    done(times.slice(1).map((x, k) => x - times[k]).sort((a, b) => a - b));
    return;
  }
  if (s[key] + step > end || s[key] + step < 0) step = -step;
  s[key] += step;
  requestAnimationFrame(frame);
};
requestAnimationFrame(frame);
"""


def pick_binaries():
    for build in ("build-rel", "build-test"):
        tools = os.path.join(ROOT, build, "tools")
        if os.access(os.path.join(tools, "matrixd", "matrixd"), os.X_OK):
            os.environ.setdefault("MATRIXD", os.path.join(tools, "matrixd", "matrixd"))
            os.environ.setdefault("MATRIXSIM", os.path.join(tools, "matrixsim", "matrixsim"))
            os.environ.setdefault("MATRIXCTL", os.path.join(tools, "matrixctl", "matrixctl"))
            return
    sys.exit("no matrixd built; set MATRIXD and MATRIXSIM")


def descendants(root):
    children = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(ppid, []).append(int(pid))
    found, todo = [], [root]
    while todo:
        for c in children.get(todo.pop(), []):
            found.append(c)
            todo.append(c)
    return found


def renderer_mb(browser):
    """The page's renderer: the browser's largest renderer process by its proportional set
    size (shared pages counted by share), in MB."""
    largest = 0
    for pid in descendants(browser.service.process.pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"--type=renderer" not in f.read():
                    continue
            with open("/proc/%d/smaps_rollup" % pid) as f:
                pss = next(int(line.split()[1]) for line in f if line.startswith("Pss:"))
        except (OSError, StopIteration):
            continue
        largest = max(largest, pss)
    return largest / 1024


def first_frame(browser, url):
    browser.get("about:blank")
    browser.execute_cdp_cmd("Network.clearBrowserCookies", {})
    browser.get(url)
    if not wait_until(lambda: browser.execute_script("return window.bench && bench.firstFrame"), LIMIT):
        return None
    return browser.execute_script("return bench.firstFrame")


def click_to_shown(browser, output, input_):
    start = browser.execute_script(
        "bench.watchCell(arguments[0], arguments[1]); const t = performance.now();"
        " document.querySelector(`button.cell[data-output='${arguments[0]}'][data-input='${arguments[1]}']`)"
        ".click(); return t;", output, input_)
    if not wait_until(lambda: browser.execute_script("return bench.cell"), LIMIT):
        return None
    return browser.execute_script("return bench.cell")[1] - start


def elsewhere_to_shown(browser, hub, output, input_):
    """From the route's WebSocket message until the cell is drawn."""
    mark = browser.execute_script("bench.watchCell(arguments[0], arguments[1]);"
                                  " return bench.messages.length", output, input_)
    hub.request("POST", "/api/v1/routes", {"routes": [{"output": output, "input": input_}]})
    if not wait_until(lambda: browser.execute_script("return bench.cell"), LIMIT):
        return None
    shown, drawn = browser.execute_script("return bench.cell")
    # The message whose handling came last before the cell changed brought the route.
    arrived = [stamp for stamp, handled, _ in
               browser.execute_script("return bench.messages.slice(arguments[0])", mark)
               if handled <= shown]
    return drawn - arrived[-1] if arrived else None


def scroll_p95(browser, across):
    """From the top left corner, drawn and settled."""
    browser.execute_script("const s = document.getElementById('grid-scroll'); s.scrollTop = s.scrollLeft = 0;")
    time.sleep(0.5)
    browser.set_script_timeout(LIMIT)
    gaps = browser.execute_async_script(SCROLL, across)
    return gaps[int(len(gaps) * 0.95) - 1] if gaps else None


def fmt(value, unit):
    if value is None:
        return "> %.0f s" % LIMIT
    return ("%.0f %s" % (value, unit)) if value >= 10 or unit == "MB" else ("%.1f %s" % (value, unit))


def run(size):
    with Rig(inputs=size, outputs=size) as rig:
        browser = Chromium(WIDTH, HEIGHT)
        try:
            browser.execute_cdp_cmd("Network.enable", {})
            browser.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": True})
            browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": PROBE})
            browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": SALVO_PROBE})
            url = rig.hub.url("/#grid")
            first_frame(browser, url)  # the browser's own start-up, not counted
            frames = [first_frame(browser, url) for _ in range(3)]
            frame = None if None in frames else statistics.median(frames)
            time.sleep(1)
            memory = renderer_mb(browser)
            clicks = [click_to_shown(browser, 3, 7 + k) for k in range(5)]
            click = None if None in clicks else statistics.median(clicks)
            elsewhere = [elsewhere_to_shown(browser, rig.hub, 2, 5 + k) for k in range(5)]
            other = None if None in elsewhere else statistics.median(elsewhere)
            down, across = scroll_p95(browser, False), scroll_p95(browser, True)
            lag, peak = salvo_run(browser, rig.hub, size)
        finally:
            browser.quit()
    return {"size": size, "first frame": fmt(frame, "ms"), "memory": fmt(memory, "MB"),
            "click": fmt(click, "ms"), "elsewhere": fmt(other, "ms"),
            "salvo": fmt(lag, "ms"), "salvo memory": fmt(peak, "MB"),
            "scroll down p95": fmt(down, "ms"), "scroll across p95": fmt(across, "ms")}


# Counts, for a salvo, which outputs reached their target; set from salvo_run().
SALVO_PROBE = """
(() => {
  const slot = Object.getOwnPropertyDescriptor(WebSocket.prototype, 'onmessage');
  const inner = slot.set;
  Object.defineProperty(WebSocket.prototype, 'onmessage', {
    get: slot.get,
    set(fn) {
      inner.call(this, (e) => {
        fn.call(this, e);
        const t = window.benchTarget;
        if (!t || window.benchDrawn) return;
        let m; try { m = JSON.parse(e.data); } catch { return; }
        for (const o of m.outputs || []) if (o.input === t.routes[o.n]) t.left.delete(o.n);
        if (!t.left.size && !t.done) {
          t.done = true;
          requestAnimationFrame(() => setTimeout(() => {
            window.benchDrawn = performance.timeOrigin + performance.now(); }));
        }
      });
    },
  });
})();
"""


class SalvoWatch(threading.Thread):
    """A client of matrixd's events socket, beside the page: notes (ms, wall clock) when the
    message that completes `target` (output -> input) arrives."""

    def __init__(self, hub, target):
        super().__init__(daemon=True)
        self.left = set(target)
        self.target = target
        self.sent = None
        self.socket = websocket.create_connection(
            "ws://%s/api/v1/events" % hub.web, cookie=hub.session(), timeout=LIMIT,
            origin="http://" + hub.web)
        self.start()

    def run(self):
        try:
            while self.left:
                message = json.loads(self.socket.recv())
                for o in message.get("outputs") or []:
                    if o.get("input") == self.target.get(o.get("n")):
                        self.left.discard(o["n"])
            self.sent = time.time() * 1000
        except (websocket.WebSocketException, OSError, ValueError):
            pass

    def close(self):
        self.socket.close()


def salvo_run(browser, hub, size):
    """(ms from matrixd sending the salvo's last route until the page drew it, MB at most)."""
    target = {o: (o + size // 2 - 1) % size + 1 for o in range(1, size + 1)}
    hub.request("PUT", "/api/v1/salvos/All", {"routes": [
        {"output": o, "input": i} for o, i in target.items()]})
    browser.execute_script(
        "window.benchDrawn = null; window.benchTarget = {routes: arguments[0],"
        " left: new Set(Object.keys(arguments[0]).map(Number)), done: false};",
        {str(o): i for o, i in target.items()})
    watch = SalvoWatch(hub, target)
    peak = renderer_mb(browser)
    hub.request("POST", "/api/v1/salvos/All/take")
    drawn = None
    deadline = time.monotonic() + LIMIT * 3
    while time.monotonic() < deadline and not (drawn and watch.sent):
        drawn = browser.execute_script("return window.benchDrawn")
        peak = max(peak, renderer_mb(browser))
        time.sleep(0.02)
    watch.close()
    if not (drawn and watch.sent):
        return None, peak
    return max(0.0, drawn - watch.sent), peak


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [64, 288, 1024]
    pick_binaries()
    print("matrixd: %s; Chromium %d x %d; each wait capped at %.0f s" % (
        os.environ["MATRIXD"], WIDTH, HEIGHT, LIMIT))
    rows = [run(size) for size in sizes]
    keys = list(rows[0].keys())
    print(" | ".join(keys))
    for r in rows:
        print(" | ".join(str(r[k]) for k in keys))
    print(json.dumps(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
