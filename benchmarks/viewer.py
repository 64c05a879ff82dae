"""How fast the web viewer opens a large trace.

Builds a database with one trace of EVENTS frame records (a call tree of
realistic shape: nested calls with small locals), written directly rather
than profiled, then measures:

- the API's first answer for the trace (what the page needs to draw its
  first screen), and how long until the whole trace is indexed;
- with Debian's headless Chromium present: the time from opening the
  trace's URL until its first tree rows are drawn;
- the viewer process's peak RSS (it runs as ``vopo view`` in a process of
  its own).

    python benchmarks/viewer.py [EVENTS]
"""

import itertools
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

import msgpack

from vopo.store import save_trace

TRACE_ID = "trc_01J0BENCHMARKLARGETRACE0001"
CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
FANOUT, DEPTH = 6, 7


def frame(event, frame_id, timestamp, number, site, value=None):
    return {
        "path": f"app/module_{number % 40}.py:{10 + number % 300}", "co_name": f"step_{number % 97}",
        "qualname": f"Worker.step_{number % 97}", "event": event, "frame_id": frame_id, "arg": value,
        "locals": {"self": "<app.Worker object>", "index": number, "label": f"item-{number % 1000}"},
        "thread": "MainThread", "thread_native_id": 100, "timestamp": timestamp, "type": "frame",
        "user_code_call_site": site,
    }


def records(events):
    """Packed records of a call tree: each call makes up to FANOUT calls,
    DEPTH deep, until about ``events`` records are made."""
    ids = itertools.count()
    clock = itertools.count()
    stack = []  # [frame id, call number, children made, call site]
    made = 0
    while made < events or stack:
        if made < events and len(stack) < DEPTH and (not stack or stack[-1][2] < FANOUT):
            number = next(ids)
            frame_id = f"frm_{number:026d}"
            site = {"call_frame_id": stack[-1][0], "line_number": 12} if stack else None
            if stack:
                stack[-1][2] += 1
            stack.append([frame_id, number, 0, site])
            yield msgpack.packb(frame("call", frame_id, 1.7e9 + next(clock) * 1e-6, number, site))
        else:
            frame_id, number, _, site = stack.pop()
            yield msgpack.packb(frame("return", frame_id, 1.7e9 + next(clock) * 1e-6, number, site, number * 2))
        made += 1


def document(events):
    body = list(records(events))
    pack = msgpack.packb
    return b"".join([
        b"\x88", pack("command_line_args"), pack(["bench.py"]), pack("current_commit_sha"), pack(None),
        pack("frames"), pack({}), pack("frames_of_interest"), b"\xdd", len(body).to_bytes(4, "big"), *body,
        pack("main_thread_id"), pack(100), pack("meta"),
        pack({"version": "0.1.0", "source": "benchmark", "use_frame_boundaries": True}),
        pack("timestamp"), pack(1.7e9), pack("trace_id"), pack(TRACE_ID),
    ]), len(body)


def build_database(path, events):
    blob, count = document(events)
    save_trace(path, TRACE_ID, blob, 60.0)
    return len(blob), count


def get(url):
    with urllib.request.urlopen(url, timeout=600) as response:
        return json.loads(response.read())


class Viewer:
    """``vopo view`` in a process of its own, so that its memory is its own."""

    def __init__(self, db_path):
        self.process = subprocess.Popen([sys.executable, "-m", "vopo", "view", "--no-browser", "--db", db_path],
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        self.url = line.split(" at ", 1)[1].split(" ", 1)[0]

    def peak_rss(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        return float("nan")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)


def api_figures(db_path):
    viewer = Viewer(db_path)
    try:
        base = viewer.url + "api/traces/" + TRACE_ID
        started = time.perf_counter()
        first = get(base)
        first_answer = time.perf_counter() - started
        records_then = first["records"]
        while not first["complete"]:
            time.sleep(0.2)
            first = get(base)
        indexed = time.perf_counter() - started
        root = first["threads"][0]["items"][0]["id"]
        started = time.perf_counter()
        get(f"{base}/nodes/{root}/children")
        children = time.perf_counter() - started
        return first_answer, records_then, indexed, children, first["records"], viewer.peak_rss()
    finally:
        viewer.stop()


def browser_figure(db_path):
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        return None
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    viewer = Viewer(db_path)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=CHROMEDRIVER), options=options)
    try:
        driver.get(viewer.url)
        WebDriverWait(driver, 60).until(lambda d: d.find_elements(By.CSS_SELECTOR, "h1"))
        started = time.perf_counter()
        driver.get(viewer.url + "#/trace/" + TRACE_ID)
        WebDriverWait(driver, 600).until(lambda d: d.find_elements(By.CSS_SELECTOR, ".tree .row"))
        return time.perf_counter() - started
    finally:
        driver.quit()
        viewer.stop()


def main():
    events = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as folder:
        db_path = os.path.join(folder, "large.sqlite3")
        started = time.perf_counter()
        size, count = build_database(db_path, events)
        print(f"built a trace of {count} records, {size / 2**20:.0f} MiB, in {time.perf_counter() - started:.1f} s")
        first_answer, records_then, indexed, children, records, peak = api_figures(db_path)
        print(f"API: first answer for the trace in {first_answer:.2f} s ({records_then} records indexed by then)")
        print(f"API: all {records} records indexed in {indexed:.1f} s; then a call's children in "
              f"{children * 1000:.0f} ms; viewer peak RSS {peak:.0f} MiB")
        shown = browser_figure(db_path)
        if shown is None:
            print("browser: Chromium not installed; no page figure")
        else:
            print(f"browser: first rows of the trace drawn {shown:.2f} s after opening its URL")


if __name__ == "__main__":
    main()
