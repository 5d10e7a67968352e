"""The web panel's grid in headless Chromium at 64, 288 and 1,024 inputs and outputs.

For each size, against a real matrixd and matrixsim on loopback, at desktop size (1440 × 900):
  first frame   URL#grid loaded afresh until its first cell is drawn (the page's own clock)
  memory        the tab's renderer process (proportional set size), once the grid is drawn,
                and at its largest during the salvo
  click         a cell clicked until it shows the route (matrixd and the switcher in between)
  elsewhere     a route made through the API until shown, after its WebSocket message came
  salvo         every output routed by one salvo: the page shows the last change this long
                after matrixd has it (matrixd's own state polled every 10 ms)
  scroll p95    the grid scrolled 120 px a frame, down and across: the 95th percentile frame

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
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))
from chromium import Chromium  # noqa: E402
from harness import Rig, wait_until  # noqa: E402

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

SCROLL = """
const done = arguments[arguments.length - 1];
const s = document.getElementById('grid-scroll');
const times = [];
let n = 0;
const step = (t) => {
  times.push(t);
  if (n++ >= 120) {
    const gaps = times.slice(1).map((x, k) => x - times[k]).sort((a, b) => a - b);
    done(gaps);
    return;
  }
  if (n <= 60) s.scrollTop += 120; else s.scrollLeft += 120;
  requestAnimationFrame(step);
};
requestAnimationFrame(step);
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


def state(hub):
    status, body, _ = hub.request("GET", "/api/v1/state")
    return body if status == 200 else None


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


def scroll_p95(browser):
    browser.set_script_timeout(LIMIT)
    gaps = browser.execute_async_script(SCROLL)
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
            scroll = scroll_p95(browser)
            lag, peak = salvo_run(browser, rig.hub, size)
        finally:
            browser.quit()
    return {"size": size, "first frame": fmt(frame, "ms"), "memory": fmt(memory, "MB"),
            "click": fmt(click, "ms"), "elsewhere": fmt(other, "ms"),
            "salvo": fmt(lag, "ms"), "salvo memory": fmt(peak, "MB"), "scroll p95": fmt(scroll, "ms")}


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


def salvo_run(browser, hub, size):
    """(ms from matrixd having the salvo's last route until the page drew it, MB at most)."""
    target = {o: (o + size // 2 - 1) % size + 1 for o in range(1, size + 1)}
    hub.request("PUT", "/api/v1/salvos/All", {"routes": [
        {"output": o, "input": i} for o, i in target.items()]})
    browser.execute_script(
        "window.benchDrawn = null; window.benchTarget = {routes: arguments[0],"
        " left: new Set(Object.keys(arguments[0]).map(Number)), done: false};",
        {str(o): i for o, i in target.items()})
    peak = renderer_mb(browser)
    hub.request("POST", "/api/v1/salvos/All/take")
    server_done = None
    deadline = time.monotonic() + LIMIT * 3
    while time.monotonic() < deadline:
        s = state(hub)
        if s and all(o["input"] == target[o["n"]] for o in s["outputs"]):
            server_done = time.time() * 1000
            break
        peak = max(peak, renderer_mb(browser))
        time.sleep(0.01)
    if server_done is None:
        return None, peak
    drawn = None
    deadline = time.monotonic() + LIMIT
    while time.monotonic() < deadline:
        drawn = browser.execute_script("return window.benchDrawn")
        if drawn:
            break
        peak = max(peak, renderer_mb(browser))
        time.sleep(0.02)
    return (max(0.0, drawn - server_done) if drawn else None), peak


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
