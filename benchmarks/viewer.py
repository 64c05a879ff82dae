"""How fast the web viewer opens a large trace.

Builds a database with one trace of EVENTS frame records (a call tree of
realistic shape: nested calls with small locals), written directly rather
than profiled, then measures:

- the API's first answer for the trace (what the page needs to draw its
  first screen), and how long until the whole trace is indexed;
- with Debian's headless Chromium present: the time from opening the
  trace's URL until its first tree rows are drawn;
- the viewer process's peak RSS.

    python benchmarks/viewer.py [EVENTS]
"""

import itertools
import json
import os
import resource
import sys
import tempfile
import threading
import time
import urllib.request

import msgpack

from vopo.store import save_trace
from vopo.viewer.server import make_server, url_of
from vopo.viewer.store_access import Store

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


def api_figures(db_path):
    server = make_server(Store(db_path))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = url_of(server).rstrip("/") + "/api/traces/" + TRACE_ID
    started = time.perf_counter()
    first = get(base)
    first_answer = time.perf_counter() - started
    while not first["complete"]:
        time.sleep(0.05)
        first = get(base)
    indexed = time.perf_counter() - started
    root = first["threads"][0]["items"][0]["id"]
    started = time.perf_counter()
    get(f"{base}/nodes/{root}/children")
    children = time.perf_counter() - started
    server.shutdown()
    server.server_close()
    return first_answer, indexed, children, first["records"]


def browser_figure(db_path):
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        return None
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    server = make_server(Store(db_path))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=CHROMEDRIVER), options=options)
    try:
        driver.get(url_of(server))
        WebDriverWait(driver, 60).until(lambda d: d.find_elements(By.CSS_SELECTOR, "h1"))
        started = time.perf_counter()
        driver.get(url_of(server, TRACE_ID))
        WebDriverWait(driver, 600).until(lambda d: d.find_elements(By.CSS_SELECTOR, ".tree .row"))
        return time.perf_counter() - started
    finally:
        driver.quit()
        server.shutdown()
        server.server_close()


def main():
    events = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as folder:
        db_path = os.path.join(folder, "large.sqlite3")
        started = time.perf_counter()
        size, count = build_database(db_path, events)
        print(f"built a trace of {count} records, {size / 2**20:.0f} MiB, in {time.perf_counter() - started:.1f} s")
        first_answer, indexed, children, records_read = api_figures(db_path)
        print(f"API: first answer for the trace in {first_answer:.2f} s ({records_read} records indexed by then)")
        print(f"API: whole trace indexed in {indexed:.2f} s; a call's children in {children * 1000:.0f} ms")
        shown = browser_figure(db_path)
        if shown is None:
            print("browser: Chromium not installed; no page figure")
        else:
            print(f"browser: first rows of the trace drawn {shown:.2f} s after opening its URL")
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(f"peak RSS of this process (generator, server and index): {peak:.0f} MiB")


if __name__ == "__main__":
    main()
