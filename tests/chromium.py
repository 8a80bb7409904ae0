"""A headless chromium driven over its DevTools protocol, for page tests.

`open_page` starts the system's chromium with a throw-away profile, opens a
URL in a new tab and records what the page logs and requests. Everything
runs over one websocket in flattened session mode.
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

#: Set in CI: a missing chromium fails the test instead of skipping it.
REQUIRE_ENV = "NUVEL_REQUIRE_CHROMIUM"
FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
    "--no-default-browser-check", "--disable-background-networking",
    "--disable-component-update", "--disable-default-apps", "--disable-extensions",
    "--disable-sync", "--mute-audio", "--remote-debugging-port=0",
]


def executable() -> str:
    """The chromium binary; skips (or, in CI, fails) the test without one."""
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        if os.environ.get(REQUIRE_ENV):
            pytest.fail(f"chromium is not installed and {REQUIRE_ENV} is set")
        pytest.skip("chromium is not installed")
    return found


class Page:
    """One tab: commands, and the events the tab has sent so far."""

    def __init__(self, socket, session: str):
        self.socket, self.session = socket, session
        self.events: list[dict] = []
        self.next_id = 0

    def call(self, method: str, **params) -> dict:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session is not None:
            message["sessionId"] = self.session
        self.socket.send(json.dumps(message))
        while True:
            message = self.receive()
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]

    def receive(self) -> dict:
        message = json.loads(self.socket.recv())
        if "method" in message:
            self.events.append(message)
        return message

    def wait_for(self, method: str, timeout: float = 30.0) -> dict:
        deadline = time.monotonic() + timeout
        seen = 0
        while time.monotonic() < deadline:
            for event in self.events[seen:]:
                if event["method"] == method:
                    return event
            seen = len(self.events)
            self.receive()
        raise TimeoutError(method)

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"])
        return result["result"].get("value")

    def poll(self, expression: str, timeout: float = 30.0):
        """The first truthy value of `expression`, evaluated every 0.1 s."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.1)
        raise TimeoutError(expression)

    def screenshot(self) -> bytes:
        return base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"])

    def click(self, x: float, y: float) -> None:
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def console_errors(self) -> list[str]:
        errors = []
        for event in self.events:
            params = event.get("params", {})
            if event["method"] == "Runtime.exceptionThrown":
                errors.append(str(params["exceptionDetails"]))
            elif event["method"] == "Runtime.consoleAPICalled" and params["type"] == "error":
                errors.append(str(params["args"]))
            elif event["method"] == "Log.entryAdded" and params["entry"]["level"] == "error":
                errors.append(params["entry"]["text"])
        return errors

    def requested_urls(self) -> list[str]:
        return [e["params"]["request"]["url"] for e in self.events
                if e["method"] == "Network.requestWillBeSent"]


@contextmanager
def open_page(url: str, profile: Path, width: int = 1200, height: int = 900):
    """A Page with `url` loaded, in a chromium that ends with the block."""
    import websocket

    # Under a preloaded sanitizer runtime (.ci/sanitize) the browser would run
    # with it too.
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    process = subprocess.Popen([executable(), *FLAGS, f"--user-data-dir={profile}", "about:blank"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=plain)
    socket = None
    try:
        socket = websocket.create_connection(browser_endpoint(profile, process), timeout=30)
        browser = Page(socket, session=None)
        target = browser.call("Target.createTarget", url="about:blank")["targetId"]
        session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        page = Page(socket, session)
        page.next_id = browser.next_id
        for domain in ("Page", "Runtime", "Log", "Network"):
            page.call(f"{domain}.enable")
        page.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)
        page.call("Page.navigate", url=url)
        page.wait_for("Page.loadEventFired")
        yield page
    finally:
        if socket is not None:
            socket.close()
        process.terminate()
        process.wait(timeout=30)


def browser_endpoint(profile: Path, process: subprocess.Popen, timeout: float = 30.0) -> str:
    """The browser's websocket address, from the file chromium writes once it listens."""
    marker = profile / "DevToolsActivePort"
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if marker.exists():
            lines = marker.read_text().split()
            if len(lines) == 2:
                return f"ws://127.0.0.1:{lines[0]}{lines[1]}"
        if process.poll() is not None:
            raise RuntimeError(f"chromium exited with {process.returncode}")
        time.sleep(0.05)
    raise TimeoutError("chromium did not open its DevTools port")
