"""Draws the web panel's README pictures: web-phone.png and web-desktop.png in OUTDIR.

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


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: screenshots.py OUTDIR")
    main(sys.argv[1])
