#!/usr/bin/env python3
"""The service's pages in headless Chromium at a phone's size.

Starts kestrel-service on loopback with a database of its own, drives
Chromium through chromedriver (WebDriver over HTTP, standard library only),
registers a phone on /phone, and checks for /phone, /sync and / that the
page sends a Content-Security-Policy, that its script did its work, and that
the browser's console reports no Content Security Policy violation.
With KESTREL_SCREENSHOTS=DIR it leaves a screenshot of each page there.
Exits 77 (skipped) when chromium or chromedriver is missing.

Usage: pages_in_browser.py PATH-TO-kestrel-service
"""

import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIPPED = 77


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class Browser:
    """One WebDriver session of chromedriver on loopback."""

    def __init__(self, driver_port, binary):
        self.base = "http://127.0.0.1:%d" % driver_port
        wait_for("chromedriver", self._ready)
        # Headless windows are 500 pixels wide at least: the phone's viewport
        # is emulated.
        options = {"binary": binary,
                   "args": ["--headless", "--disable-gpu", "--no-sandbox", "--window-size=390,844"],
                   "mobileEmulation": {"deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 1}}}
        answer = self._call("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": options,
            "goog:loggingPrefs": {"browser": "ALL"}}}})
        self.session = "/session/" + answer["sessionId"]

    def _ready(self):
        try:
            return self._call("GET", "/status")["ready"]
        except OSError:
            return False

    def _call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as reply:
            return json.load(reply)["value"]

    def open(self, url):
        self._call("POST", self.session + "/url", {"url": url})

    def run(self, script):
        return self._call("POST", self.session + "/execute/sync", {"script": script, "args": []})

    def console(self):
        return [entry["message"] for entry in self._call("POST", self.session + "/se/log", {"type": "browser"})]

    def screenshot(self, path):
        with open(path, "wb") as file:
            file.write(base64.b64decode(self._call("GET", self.session + "/screenshot")))

    def close(self):
        self._call("DELETE", self.session)


def check_page(browser, url, name, done, failures):
    with urllib.request.urlopen(url, timeout=10) as reply:
        if not reply.headers.get("Content-Security-Policy"):
            failures.append(name + ": no Content-Security-Policy")
    browser.open(url)
    try:
        wait_for(name + "'s script: " + done, lambda: browser.run("return " + done))
    except AssertionError as error:
        failures.append(str(error))
    shots = os.environ.get("KESTREL_SCREENSHOTS")
    if shots:
        browser.screenshot(os.path.join(shots, name + ".png"))
    violations = [m for m in browser.console() if "Content Security Policy" in m]
    failures.extend(name + ": " + m for m in violations)
    print("%s: %s" % (name, "%d violation(s)" % len(violations) if violations else "no violation"))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if not binary or not driver:
        print("SKIP: needs chromium and chromedriver (apt-get install chromium chromium-driver)")
        return SKIPPED
    folder = tempfile.mkdtemp(prefix="kestrel-pages-")
    service = subprocess.Popen([sys.argv[1], "serve", "--db", os.path.join(folder, "service.db"), "--port", "0"],
                               stdout=subprocess.PIPE, text=True)
    driver_port = free_port()
    chromedriver = subprocess.Popen([driver, "--port=%d" % driver_port], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
    browser = None
    try:
        line = service.stdout.readline()
        if not line.startswith("listening on "):
            raise AssertionError("the service did not start: " + line)
        base = line.split()[-1]
        browser = Browser(driver_port, binary)
        failures = []
        # Unregistered, the page offers to register; the test does so and
        # waits for what the registered page fills in: the device key, the
        # live code's SVG and the QR images of the apps' settings.
        check_page(browser, base + "phone", "phone-unregistered",
                   "!document.getElementById('register').classList.contains('hidden')", failures)
        browser.run("document.getElementById('name').value = 'Test phone';"
                    "document.getElementById('registerButton').click();")
        wait_for("the registration", lambda: browser.run("return !!localStorage.getItem('kestrel.phone')"))
        check_page(browser, base + "phone", "phone",
                   "document.getElementById('key').textContent.length === 32"
                   " && !!document.querySelector('#codebox svg')"
                   " && [...document.querySelectorAll('img.qr')].every(i => i.complete && i.naturalWidth > 0)",
                   failures)
        # With one phone, /sync on loopback shows its code at once.
        check_page(browser, base + "sync", "sync", "!!document.querySelector('#code svg')", failures)
        check_page(browser, base, "home",
                   "getComputedStyle(document.body).fontFamily === 'sans-serif'", failures)
        for failure in failures:
            print("FAIL: " + failure)
        return 1 if failures else 0
    finally:
        if browser:
            browser.close()
        chromedriver.terminate()
        service.terminate()
        chromedriver.wait()
        service.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
