"""Lighthouse's performance, accessibility and best-practice scores of the web panel, in
Debian's Chromium, as a phone and as a desktop: the buttons view and the grid at 16 × 16, the
grid at 1,024 × 1,024.

Lighthouse comes from npm, installed on first use under MP_NPM_PREFIX (else
~/.cache/matrixpanel/npm). Not a test: it prints the scores and the audits that failed.

Run: /usr/bin/python3 bench/web_lighthouse.py
MATRIXD and MATRIXSIM pick the binaries (default build-rel's, else build-test's).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from harness import Rig  # noqa: E402
from web_panel import pick_binaries  # noqa: E402

CASES = [(16, "/", "mobile"), (16, "/", "desktop"), (16, "/#grid", "desktop"),
         (1024, "/#grid", "mobile"), (1024, "/#grid", "desktop")]


def lighthouse():
    prefix = os.environ.get("MP_NPM_PREFIX") or os.path.expanduser("~/.cache/matrixpanel/npm")
    tool = os.path.join(prefix, "node_modules", ".bin", "lighthouse")
    if not os.path.exists(tool):
        npm = shutil.which("npm") or sys.exit("no npm (apt install npm)")
        subprocess.run([npm, "install", "--no-audit", "--no-fund", "--prefix", prefix, "lighthouse"],
                       check=True, capture_output=True, timeout=600)
    return tool


def score(tool, url, preset):
    with tempfile.TemporaryDirectory(prefix="mp-lh-") as folder:
        report = os.path.join(folder, "report.json")
        args = [tool, url, "--quiet", "--output=json", "--output-path=" + report,
                "--only-categories=performance,accessibility,best-practices",
                "--chrome-flags=--headless=new --no-sandbox --disable-gpu --disable-dev-shm-usage"]
        if preset == "desktop":
            args.append("--preset=desktop")
        subprocess.run(args, check=True, capture_output=True, timeout=300,
                       env=dict(os.environ, CHROME_PATH="/usr/bin/chromium"))
        with open(report) as f:
            found = json.load(f)
    scores = {k: round(v["score"] * 100) for k, v in found["categories"].items()}
    failed = [k for k, v in found["audits"].items()
              if v.get("scoreDisplayMode") == "binary" and v.get("score") == 0]
    return scores, failed


def main():
    pick_binaries()
    tool = lighthouse()
    for size in sorted({c[0] for c in CASES}):
        with Rig(inputs=size, outputs=size) as rig:
            for _, path, preset in (c for c in CASES if c[0] == size):
                scores, failed = score(tool, rig.hub.url(path), preset)
                print("%4d x %-4d %-7s %-8s %s%s" % (size, size, path, preset, scores,
                                                  "; failed: " + ", ".join(failed) if failed else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
