"""Headless Chromium driven over its DevTools pipe, for tests that open pages with the network off.

The command line's --screenshot with --virtual-time-budget hangs at random on a page that creates a
WebGL scene after its load event (the 3-D view is drawn once its packed plotly.js is unpacked): the
screenshot waits on a frame that never comes. Here the test waits, in real time, for what it names
(every figure drawn, say), then asks for the screenshot; every step has a deadline, and a browser
that misses it is killed and the test fails.
"""

import base64
import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import time

CHROMIUM = shutil.which("chromium")
FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-dev-shm-usage",
    "--use-gl=swiftshader",
    "--enable-unsafe-swiftshader",
    "--hide-scrollbars",
    "--remote-debugging-pipe",
    # Should a network namespace be out of reach, no name resolves and every request goes to a closed port.
    "--proxy-server=127.0.0.1:9",
    "--host-resolver-rules=MAP * ~NOTFOUND",
]
# What a whole run of the browser may take, from start to close.
DEADLINE_S = 60.0
# Every figure a Korvex page packs has been drawn (see korvex.embed), and plotly has made its canvas.
FIGURES_DRAWN = """(() => {
  const packed = [...document.querySelectorAll("script.korvex-figure")];
  return packed.every((p) => p.dataset.state === "drawn" || p.dataset.state === "failed");
})()"""


class BrowserTimeout(AssertionError):
    """The browser missed its deadline: a hang fails the test rather than blocking the suite."""


def offline_prefix():
    """unshare -n where this machine allows a process its own, empty network namespace."""
    unshare = shutil.which("unshare")
    if unshare and subprocess.run([unshare, "-n", "true"], capture_output=True).returncode == 0:
        return [unshare, "-n"]
    return []


class Page:
    """What the browser saw: the DOM after drawing, script errors, a screenshot (PNG bytes) if asked."""

    def __init__(self, dom, errors, screenshot, seconds):
        self.dom, self.errors, self.screenshot, self.seconds = dom, errors, screenshot, seconds


class _Pipe:
    def __init__(self, process, to_browser, from_browser, deadline):
        self.process, self.to_browser, self.from_browser, self.deadline = process, to_browser, from_browser, deadline
        self.buffer, self.next_id, self.errors = b"", 0, []

    def _message(self):
        while b"\0" not in self.buffer:
            left = self.deadline - time.monotonic()
            if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                raise BrowserTimeout("the browser did not answer by its deadline")
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise AssertionError(f"the browser closed its pipe (exit {self.process.poll()})")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def _note(self, message):
        method, params = message.get("method"), message.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            self.errors.append(details.get("exception", {}).get("description") or details.get("text"))
        elif method == "Runtime.consoleAPICalled" and params.get("type") == "error":
            self.errors.append(" ".join(str(arg.get("value", arg.get("description"))) for arg in params["args"]))

    def call(self, method, session=None, **params):
        self.next_id += 1
        request = {"id": self.next_id, "method": method, "params": params}
        if session is not None:
            request["sessionId"] = session
        os.write(self.to_browser, json.dumps(request).encode() + b"\0")
        while True:
            message = self._message()
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise AssertionError(f"{method}: {message['error']}")
                return message["result"]
            self._note(message)

    def evaluate(self, session, expression):
        result = self.call("Runtime.evaluate", session, expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")


def open_page(path, profile, *, size=(1200, 800), ready=FIGURES_DRAWN, scroll_to=None, screenshot=True,
              deadline_s=DEADLINE_S):
    """Open the page with the network off, wait until `ready` (a script) is true, and return what was seen.

    scroll_to: an element's id to bring into view before the screenshot. Raises BrowserTimeout when the
    browser takes longer than deadline_s in all.
    """
    start = time.monotonic()
    deadline = start + deadline_s
    reads, to_browser = os.pipe()
    from_browser, writes = os.pipe()
    # Chromium reads its pipe on descriptor 3 and writes on 4; the browser's ends move above 9 first, so that
    # the shell's redirections cannot overwrite one with the other.
    browser_reads, browser_writes = (fcntl.fcntl(end, fcntl.F_DUPFD_CLOEXEC, 10) for end in (reads, writes))
    os.close(reads)
    os.close(writes)
    command = ["bash", "-c", f'exec "$@" 3<&{browser_reads} 4>&{browser_writes}', "bash", *offline_prefix(), CHROMIUM,
               *FLAGS, f"--user-data-dir={profile}", "--enable-logging=stderr", "--v=0", "about:blank"]
    # A session of its own, so that a browser past its deadline goes with every process it started.
    process = subprocess.Popen(command, pass_fds=(browser_reads, browser_writes), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(browser_reads)
    os.close(browser_writes)
    pipe = _Pipe(process, to_browser, from_browser, deadline)
    try:
        target = pipe.call("Target.createTarget", url="about:blank")["targetId"]
        session = pipe.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        pipe.call("Runtime.enable", session)
        pipe.call("Page.enable", session)
        width, height = size
        pipe.call("Emulation.setDeviceMetricsOverride", session, width=width, height=height, deviceScaleFactor=1,
                  mobile=False)
        pipe.call("Page.navigate", session, url=path.as_uri())
        while not pipe.evaluate(session, f'document.readyState === "complete" && {ready}'):
            if time.monotonic() > deadline:
                raise BrowserTimeout(f"{path.name} was not ready within {deadline_s:g} s")
            time.sleep(0.1)
        if scroll_to is not None:
            pipe.evaluate(session, f"document.getElementById({json.dumps(scroll_to)}).scrollIntoView()")
        # Two frames, so that what was drawn last reaches the screen.
        pipe.evaluate(session, "new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)))")
        shot = None
        if screenshot:
            shot = base64.b64decode(pipe.call("Page.captureScreenshot", session, format="png")["data"])
        dom = pipe.evaluate(session, "document.documentElement.outerHTML")
        errors = list(pipe.errors)
        pipe.call("Browser.close")
    finally:
        os.close(to_browser)
        os.close(from_browser)
        try:
            process.wait(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    return Page(dom, errors, shot, time.monotonic() - start)
