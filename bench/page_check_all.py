#!/usr/bin/env python3
"""Check-all on the demo bank, side by side with the waits the page must make.

    page_check_all.py --build BUILD_DIR [--runs N] [--limit 1.10]

Starts the demo bank on loopback, a fresh machine image, a virtual display and the assistant, lets the
start-up check-all run (11 rows and the demo bank's 4 items) and reads the page's trace in Log.log:
from the check-all's first step to its last. The page waits 0.3 s before each check step, so the
floor is 0.3 s x steps; the ratio measured / floor must stay within the limit.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from datetime import datetime

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STEP_DELAY = 0.3
LINE = re.compile(r"^\((\d+)\) (\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3})\d*: \[page\] (.*)$")


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise SystemExit("bench: timed out waiting for " + what)


def page_lines(log, offset, pid):
    if not os.path.exists(log):
        return []
    with open(log, "rb") as f:
        f.seek(offset)
        text = f.read().decode("utf-8", "replace")
    lines = []
    for raw in text.splitlines():
        m = LINE.match(raw.strip())
        if m and int(m.group(1)) == pid:
            lines.append((datetime.strptime(m.group(2), "%Y/%m/%d %H:%M:%S.%f"), m.group(3)))
    return lines


def one_run(build, work):
    env = dict(os.environ)
    env["KESTRILON_MACHINE"] = os.path.join(work, "machine")
    env["PATH"] = os.path.join(build, "bin") + os.pathsep + env["PATH"]
    env.pop("WAYLAND_DISPLAY", None)
    tool = os.path.join(build, "bin", "kestrilon-machine")
    settings = r"HKCU\Software\Kestrilon\kestrilon-assistant\Settings"
    children = []
    try:
        subprocess.run([tool, "init"], env=env, check=True, stdout=subprocess.DEVNULL)
        subprocess.run([tool, "reg", "add", r"HKLM\SOFTWARE\Kestrilon\kestrilon-assistant", "/v", "Release",
                        "/t", "REG_SZ", "/d", "1.0", "/f"], env=env, check=True, stdout=subprocess.DEVNULL)
        url_file = os.path.join(work, "url")
        children.append(subprocess.Popen([sys.executable, os.path.join(ROOT, "examples/demo-bank/serve.py"),
                                          "--url-file", url_file], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL))
        wait_for(lambda: os.path.exists(url_file), 10, "the demo bank")
        url = open(url_file).read().strip()
        for value in (["/v", "ConfigUrl", "/t", "REG_SZ", "/d", url], ["/v", "CloseToTray", "/t", "REG_DWORD", "/d", "0"]):
            subprocess.run([tool, "reg", "add", settings] + value + ["/f"], env=env, check=True, stdout=subprocess.DEVNULL)

        read_end, write_end = os.pipe()
        children.append(subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                          "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL))
        os.close(write_end)
        with os.fdopen(read_end) as r:
            env["DISPLAY"] = ":" + r.readline().strip()

        log = os.path.join(build, "bin", "Log.log")
        offset = os.path.getsize(log) if os.path.exists(log) else 0
        assistant = subprocess.Popen([os.path.join(build, "bin", "kestrilon-assistant")], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        children.append(assistant)
        lines = wait_for(lambda: [l for l in page_lines(log, offset, assistant.pid)]
                         if any(t.startswith("check all done") for _, t in page_lines(log, offset, assistant.pid))
                         else None, 120, "the check-all to finish")
        start = next((when, text) for when, text in lines if text.startswith("check all: "))
        end = next(when for when, text in lines if text.startswith("check all done"))
        m = re.match(r"check all: (\d+) rows, (\d+) items", start[1])
        steps = int(m.group(1)) + int(m.group(2))
        return (end - start[0]).total_seconds(), steps
    finally:
        for child in reversed(children):
            child.terminate()
        for child in children:
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--limit", type=float, default=1.10)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    worst = 0.0
    for run in range(args.runs):
        work = tempfile.mkdtemp(prefix="kestrilon-bench-")
        try:
            elapsed, steps = one_run(build, work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        floor = steps * STEP_DELAY
        ratio = elapsed / floor
        worst = max(worst, ratio)
        print("run %d: check-all of %d steps: %.3f s, waits %.1f s, ratio %.3f" % (run + 1, steps, elapsed, floor, ratio))
    print("worst ratio %.3f (limit %.2f): %s" % (worst, args.limit, "ok" if worst <= args.limit else "TOO SLOW"))
    return 0 if worst <= args.limit else 1


if __name__ == "__main__":
    sys.exit(main())
