#!/usr/bin/python3
"""kpm-summary's page in a real browser: headless Chromium over its DevTools pipe.

Usage: browser.py KPM KPM_SUMMARY SRCDIR

For the example ship-zone study and for studies with hostile texts (one of them
in a file whose name holds markup), the page is loaded from a file and must
show no console error, no exception and no failed or outside request; it
holds one bar per pair of conditions whose data-total matches kpm's report at
six decimals; a screenshot is not blank; on a phone-sized screen nothing is
wider than the screen; the print styles keep charts and tables whole.

No Chromium installed: the test is skipped (status 77) with a message, or fails
when KPM_REQUIRE_BROWSER=1 (as in .ci/run). KPM_SCREENSHOT=FILE keeps the
screenshot of the example's page there.
"""
import base64
import fcntl
import json
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SKIP = 77
TIMEOUT = 60  # seconds for one page


def find_browser():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name) or ("/usr/bin/" + name if os.access("/usr/bin/" + name, os.X_OK) else None)
        if path:
            return path
    return None


class Browser:
    """Chromium with --remote-debugging-pipe: NUL-terminated JSON messages,
    commands on its descriptor 3, answers and events on its descriptor 4."""

    def __init__(self, path, profile):
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()
        # Out of the way of 3 and 4, which the child's ends become.
        hi = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser_r, from_browser_w)]
        for fd in (to_browser_r, from_browser_w):
            os.close(fd)

        def wire():
            os.dup2(hi[0], 3)
            os.dup2(hi[1], 4)

        args = [path, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-extensions", "--disable-default-apps", "--no-default-browser-check", "--mute-audio",
                "--hide-scrollbars", "--disable-dev-shm-usage", "--user-data-dir=" + profile,
                "--remote-debugging-pipe", "about:blank"]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, preexec_fn=wire, pass_fds=(3, 4))
        os.close(hi[0])
        os.close(hi[1])
        self.out = to_browser_w
        self.inp = from_browser_r
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.time()
            if left <= 0:
                raise TimeoutError("no answer from the browser")
            ready, _, _ = select.select([self.inp], [], [], left)
            if ready:
                chunk = os.read(self.inp, 1 << 20)
                if not chunk:
                    raise RuntimeError("the browser closed its pipe")
                self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=None, timeout=TIMEOUT):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        deadline = time.time() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})
            self.events.append(reply)

    def wait_event(self, method, timeout=TIMEOUT):
        deadline = time.time() + timeout
        for e in self.events:
            if e.get("method") == method:
                return e
        while True:
            e = self._read_message(deadline)
            self.events.append(e)
            if e.get("method") == method:
                return e

    def drain(self, seconds):
        deadline = time.time() + seconds
        try:
            while True:
                self.events.append(self._read_message(deadline))
        except TimeoutError:
            pass

    def close(self):
        try:
            self.send("Browser.close", timeout=10)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.out)
        os.close(self.inp)


def png_colours(data, limit=64):
    """Distinct colours of a PNG screenshot (8-bit RGB or RGBA), up to limit."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    at, idat = 8, b""
    width = height = colour_type = 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour_type = struct.unpack(">IIBB", body[:10])
            if depth != 8 or colour_type not in (2, 6):
                raise ValueError("unexpected PNG format")
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    bpp = 3 if colour_type == 2 else 4
    stride = width * bpp
    previous = bytearray(stride)
    colours = set()
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = previous[i]
            c = previous[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        for x in range(0, stride, bpp * 7):  # every seventh pixel is enough to tell
            colours.add(bytes(line[x:x + 3]))
        if len(colours) >= limit:
            break
        previous = line
    return len(colours)


def report_totals(path):
    """(oc, ac, total at six decimals) of each block of kpm's report."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    blocks = []
    for i, line in enumerate(lines):
        if line.startswith(b'"Operational_Condition","'):
            oc = line[len(b'"Operational_Condition","'):-1]
            ac = lines[i + 1][len(b'"Ambient_Condition","'):-1]
            total = lines[i + 4].split(b",")[1].decode()
            blocks.append((oc, ac, total))
    return blocks


def as_page_text(raw):
    """A study text as the page shows it: bytes that are not UTF-8, and
    control characters, replaced by U+FFFD."""
    s = raw.decode("utf-8", errors="replace")
    return re.sub("[\x00-\x08\x0b-\x1f\x7f-\x9f]", "\ufffd", s)


BARS = """JSON.stringify([...document.querySelectorAll('.bar[data-pair]')].map(b => ({
  oc: b.dataset.oc, ac: b.dataset.ac, total: b.dataset.total,
  width: b.querySelector('svg').getBoundingClientRect().width})))"""
LAYOUT = """JSON.stringify({page: document.documentElement.scrollWidth, screen: window.innerWidth,
  scripts: document.scripts.length})"""
PRINT = """JSON.stringify([...document.querySelectorAll('.bar, table, .heat')].map(e =>
  getComputedStyle(e).breakInside))"""


def check_page(browser, page, report, screenshot_to):
    faults = []
    target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    for domain in ("Runtime", "Log", "Network", "Page"):
        browser.send(domain + ".enable", session=session)
    browser.send("Emulation.setDeviceMetricsOverride",
                 {"width": 1000, "height": 1400, "deviceScaleFactor": 1, "mobile": False}, session=session)
    browser.events = []
    url = "file://" + page
    browser.send("Page.navigate", {"url": url}, session=session)
    browser.wait_event("Page.loadEventFired")
    browser.drain(0.5)

    for e in browser.events:
        method, params = e.get("method"), e.get("params", {})
        if method == "Runtime.exceptionThrown":
            faults.append("exception: %s" % params.get("exceptionDetails", {}).get("text"))
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert", "warning"):
            faults.append("console %s: %s" % (params["type"], params.get("args")))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") in ("error", "warning"):
            faults.append("log: %s" % params["entry"].get("text"))
        elif method == "Network.loadingFailed":
            faults.append("failed request: %s" % params.get("errorText"))
        elif method == "Network.requestWillBeSent" and params.get("request", {}).get("url") != url:
            faults.append("request outside the page: %s" % params["request"]["url"])

    def evaluate(expression):
        result = browser.send("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                              session=session)
        return json.loads(result["result"]["value"])

    bars = evaluate(BARS)
    blocks = report_totals(report)
    if len(bars) != len(blocks):
        faults.append("%d bars for %d pairs" % (len(bars), len(blocks)))
    for bar, (oc, ac, total) in zip(bars, blocks):
        if "%f" % float(bar["total"]) != total:
            faults.append("bar %s / %s: total %s, the report %s" % (bar["oc"], bar["ac"], bar["total"], total))
        if (bar["oc"], bar["ac"]) != (as_page_text(oc), as_page_text(ac)):
            faults.append("bar %r / %r stands where the report has %r / %r" % (bar["oc"], bar["ac"], oc, ac))
        if not 0 < bar["width"] <= 1000:
            faults.append("bar %s / %s is %r px wide" % (bar["oc"], bar["ac"], bar["width"]))
    if evaluate(LAYOUT)["scripts"] != 0:
        faults.append("the page holds a script")

    shot = base64.b64decode(browser.send("Page.captureScreenshot", {"format": "png"}, session=session)["data"])
    colours = png_colours(shot)
    if colours < 8:
        faults.append("the screenshot is blank or nearly (%d colours)" % colours)
    if screenshot_to:
        with open(screenshot_to, "wb") as f:
            f.write(shot)

    browser.send("Emulation.setDeviceMetricsOverride",
                 {"width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True}, session=session)
    layout = evaluate(LAYOUT)
    if layout["page"] > layout["screen"] + 1:
        faults.append("on a phone the page is %d px wide for a %d px screen" % (layout["page"], layout["screen"]))
    browser.send("Emulation.clearDeviceMetricsOverride", session=session)
    browser.send("Emulation.setEmulatedMedia", {"media": "print"}, session=session)
    breaks = evaluate(PRINT)
    if not breaks or any(b != "avoid" for b in breaks):
        faults.append("printed, charts or tables may be cut: break-inside %s" % sorted(set(breaks)))
    browser.send("Target.closeTarget", {"targetId": target})
    return faults


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    kpm, summary, src = (os.path.abspath(a) for a in sys.argv[1:])
    browser_path = find_browser()
    if not browser_path:
        print("skipped: no Chromium found (Debian package chromium); the page was not tested in a browser")
        return 1 if os.environ.get("KPM_REQUIRE_BROWSER") == "1" else SKIP

    failed = passed = 0
    with tempfile.TemporaryDirectory() as tmp:
        # The studies: the example, and hostile texts, one of them in a file whose name is markup.
        hostile = os.path.join(tmp, "zone <script>alert(1)<script> 'x\" onload=\"alert(2).xml")
        shutil.copy(os.path.join(src, "tests", "tools", "summary", "kpm-summary", "hostile-control-characters", "study.xml"),
                    hostile)
        studies = [(os.path.join(src, "examples", "ship-zone.xml"), os.environ.get("KPM_SCREENSHOT")),
                   (hostile, None),
                   (os.path.join(src, "tests", "tools", "summary", "kpm-summary", "csv-and-totals-to-files", "study.xml"),
                    None)]
        browser = Browser(browser_path, os.path.join(tmp, "profile"))
        try:
            for i, (study, screenshot_to) in enumerate(studies):
                page = os.path.join(tmp, "page%d.html" % i)
                report = os.path.join(tmp, "report%d.csv" % i)
                subprocess.run([kpm, "-o" + report, study], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               check=True, timeout=60)
                subprocess.run([summary, "-q", "--html", page, study], stderr=subprocess.DEVNULL, check=True,
                               timeout=60)
                faults = check_page(browser, page, report, screenshot_to)
                name = os.path.basename(study)
                if faults:
                    failed += 1
                    print("FAIL %s" % name)
                    for fault in faults:
                        print("  " + fault)
                else:
                    passed += 1
                    print("ok %s" % name)
        finally:
            browser.close()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
