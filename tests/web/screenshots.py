"""Draws the web panel's README pictures in OUTDIR: web-phone.png and web-desktop.png (a
12 × 8 hall), web-grid-1024.png and web-phone-search.png (a 1,024 × 1,024 switcher).

Run: MATRIXD=… MATRIXSIM=… MATRIXCTL=… /usr/bin/python3 tests/web/screenshots.py OUTDIR
"""
import os
import sys
from urllib.parse import quote

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from chromium import Chromium  # noqa: E402
from harness import Rig, wait_until  # noqa: E402

INPUTS = ["Camera 1", "Camera 2", "Camera 3", "Stage left", "Stage right", "Lectern PC",
          "Laptop HDMI", "Media player", "Document cam", "Video call", "Signage", "Test pattern"]
OUTPUTS = ["Projector", "Stage monitor", "Confidence", "Stream", "Recorder", "Lobby screen",
           "Overflow room", "Green room"]
ROUTES = {1: 6, 2: 1, 3: 6, 4: 2, 5: 2, 6: 11, 7: 4, 8: 10}  # output: input
SALVOS = {"Show": {1: 6, 2: 1, 4: 2, 5: 2}, "Talk": {1: 3, 2: 2, 4: 4, 5: 4},
          "Break": {1: 11, 4: 8, 6: 11, 7: 11}}
LOCKED = 4  # the stream, held by "another controller": this script's own session


def call(hub, method, path, body=None, cookie=None):
    status, answer, _ = hub.request(method, path, body, cookie=cookie)
    if status >= 300:
        raise RuntimeError("%s %s: %d %s" % (method, path, status, answer))
    return answer


def furnish(hub):
    for n, label in enumerate(INPUTS, 1):
        call(hub, "PUT", "/api/v1/inputs/%d/label" % n, {"label": label})
    for n, label in enumerate(OUTPUTS, 1):
        call(hub, "PUT", "/api/v1/outputs/%d/label" % n, {"label": label})
    call(hub, "POST", "/api/v1/routes",
         {"routes": [{"output": o, "input": i} for o, i in ROUTES.items()]})
    for name, routes in SALVOS.items():
        call(hub, "PUT", "/api/v1/salvos/" + quote(name, safe=""),
             {"routes": [{"output": o, "input": i} for o, i in routes.items()]})
    # The routes go to the switcher one by one; wait until it has answered them all.
    done = lambda: all(o["input"] == ROUTES[o["n"]]  # noqa: E731
                       for o in call(hub, "GET", "/api/v1/state")["outputs"])
    if not wait_until(done, 20):
        raise RuntimeError("the switcher did not take the routes")
    call(hub, "POST", "/api/v1/outputs/%d/lock" % LOCKED, {"action": "lock"}, hub.session())


def shoot(browser, url, ready, path):
    browser.get(url)
    if not wait_until(lambda: browser.execute_script(ready), 20):
        raise RuntimeError("the page did not get ready for " + path)
    browser.execute_script("document.activeElement.blur()")
    browser.save_screenshot(path)
    print(path, os.path.getsize(path), "bytes")


BIG = 1024
BIG_INPUTS = {698: "Stage cam wide", 699: "Stage cam close", 700: "Stage left", 701: "Stage right",
              702: "Lectern PC", 703: "Laptop HDMI"}
BIG_OUTPUTS = {1: "Projector", 2: "Stage monitor", 3: "Stream", 4: "Recorder", 700: "Stage foldback"}


def furnish_big(hub):
    for n, label in BIG_INPUTS.items():
        call(hub, "PUT", "/api/v1/inputs/%d/label" % n, {"label": label})
    for n, label in BIG_OUTPUTS.items():
        call(hub, "PUT", "/api/v1/outputs/%d/label" % n, {"label": label})
    routes = [{"output": o, "input": (o * 7) % 23 + 1} for o in range(1, 41)]
    call(hub, "POST", "/api/v1/routes", {"routes": routes})
    done = lambda: all(o["input"] == (o["n"] * 7) % 23 + 1  # noqa: E731
                       for o in call(hub, "GET", "/api/v1/state")["outputs"][:40])
    if not wait_until(done, 30):
        raise RuntimeError("the switcher did not take the routes")
    # The projector's sound from one input, its picture from another: a split crosspoint.
    call(hub, "POST", "/api/v1/routes", {"routes": [{"output": 1, "input": 14, "level": "audio"}]})
    if not wait_until(lambda: call(hub, "GET", "/api/v1/state")["outputs"][0].get("audio") == 14, 10):
        raise RuntimeError("the switcher did not take the audio route")


def big_pictures(outdir):
    with Rig("--name", "Arena 1024", inputs=BIG, outputs=BIG) as rig:
        furnish_big(rig.hub)
        ready = "return !document.getElementById('work').hidden"
        desktop = Chromium(1440, 900)
        try:
            shoot(desktop, rig.hub.url("/#grid"), ready + " && !!document.querySelector('button.cell')"
                  " && (document.querySelector('button.row-head[data-n=\"3\"]').click(), true)",
                  os.path.join(outdir, "web-grid-1024.png"))
        finally:
            desktop.quit()
        phone = Chromium(390, 844)
        try:
            phone.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
            # Output 3 chosen, then "stage" typed: its sources among 1,024 are a tap away.
            shoot(phone, rig.hub.url("/"), ready + " && (document.querySelector("
                  "'button.output[data-n=\"3\"]').click(), (() => { const f ="
                  " document.getElementById('find'); f.value = 'stage';"
                  " f.dispatchEvent(new Event('input')); })(), scrollTo(0, 0), true)",
                  os.path.join(outdir, "web-phone-search.png"))
        finally:
            phone.quit()


def main(outdir):
    os.makedirs(outdir, exist_ok=True)
    with Rig("--name", "Main hall", inputs=len(INPUTS), outputs=len(OUTPUTS)) as rig:
        furnish(rig.hub)
        loaded = ("document.querySelector('button.output[data-n=\"%d\"]')"
                  "?.dataset.lock === 'other'" % LOCKED)

        phone = Chromium(360, 740)
        try:
            # A phone's viewport: overlay scrollbars, the page's viewport meta applies.
            phone.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": 360, "height": 740, "deviceScaleFactor": 1, "mobile": True})
            # The selected output's row at the top, its sources below it.
            shoot(phone, rig.hub.url("/"), "if (!(%s)) return false;"
                  " const b = document.querySelector('button.output[data-n=\"7\"]'); b.click();"
                  " scrollTo(0, b.getBoundingClientRect().top + scrollY - 12); return true;"
                  % loaded, os.path.join(outdir, "web-phone.png"))
        finally:
            phone.quit()

        desktop = Chromium(1280, 800)
        try:
            shoot(desktop, rig.hub.url("/#grid"), "return %s && (document.querySelector("
                  "'button.row-head[data-n=\"1\"]').click(), scrollTo(0, 0), true)" % loaded,
                  os.path.join(outdir, "web-desktop.png"))
        finally:
            desktop.quit()
    big_pictures(outdir)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: screenshots.py OUTDIR")
    main(sys.argv[1])
