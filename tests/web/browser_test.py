#!/usr/bin/env python3
"""The pages in headless Chromium against a real service and bridge: the monitor's form,
the render page's crawl in carousel order and its title strip, and element text that must
stay text. Writes screenshots of both pages. Exits 77 (skipped) when no browser can start."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
service_exe, web_exe, static_dir, shots = sys.argv[1:5]

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError as e:
    print(f"SKIPPED: python3-selenium is not installed ({e})")
    sys.exit(SKIP)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def field(text):
    data = text.encode()
    return b"{%d}" % len(data) + data


def tickertalk(port, *fields):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b" ".join([b"t"] + [field(f) for f in fields]) + b"\n")
        reply = b""
        while not reply.endswith(b"\r\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
    return reply.decode(errors="replace")


def wait_for(what, done, limit=15.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        value = done()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def wait_port(port, process):
    def up():
        if process.poll() is not None:
            raise AssertionError(f"process ended with {process.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False
    wait_for(f"port {port}", up)


def start_browser(profile):
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    chromium = shutil.which("chromium") or "/usr/bin/chromium"
    driver_exe = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(chromium) or not os.path.exists(driver_exe):
        return None, "chromium or chromedriver is not installed"
    options.binary_location = chromium
    try:
        driver = webdriver.Chrome(service=Service(driver_exe), options=options)
    except WebDriverException as e:
        return None, str(e).splitlines()[0] if str(e) else type(e).__name__
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1920, "height": 1080, "deviceScaleFactor": 1, "mobile": False})
    return driver, ""


def no_alert(driver):
    try:
        driver.switch_to.alert.dismiss()
        return False
    except NoAlertPresentException:
        return True


def main():
    scratch = tempfile.mkdtemp(prefix="orv_browser_")
    service_port, web_port = free_port(), free_port()
    env = dict(os.environ, ORV_TICKER_INSTANCE=f"browser{os.getpid()}", ORV_TICKER_APPDATA_DIR=scratch + "/app",
               ORV_TICKER_REGISTRY_ROOT=scratch + "/registry", ORV_TICKER_BUS="none")
    # An unregistered service does not start; this one runs in a console.
    subprocess.run([service_exe, "--RegServer", "--elevated"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, check=True)
    processes = []
    driver = None
    try:
        driver, why = start_browser(scratch + "/profile")
        if not driver:
            print("SKIPPED: the browser cannot start: " + why)
            return SKIP
        service = subprocess.Popen([service_exe, "--port", str(service_port)], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        processes.append(service)
        wait_port(service_port, service)
        web = subprocess.Popen([web_exe, "--listen", f"127.0.0.1:{web_port}", "--service",
                                f"127.0.0.1:{service_port}", "--static", static_dir])
        processes.append(web)
        wait_port(web_port, web)

        ticker = f"browser_{os.getpid()}"
        group = ('<group name="headlines"><section>Top stories</section>'
                 '<element key="1"><design>scroll_header</design><value label="title">Headlines</value></element>'
                 '<element key="2"><design>scroll_text</design><value label="text">Bridge reopens</value></element>'
                 '<element key="3"><design>scroll_text</design>'
                 '<value label="text">&lt;img src=x onerror=alert(1)&gt;</value></element></group>')
        assert "ok" in tickertalk(service_port, "on_ticker", ticker, "AddGroupAfterCurrent", group)
        base = f"http://127.0.0.1:{web_port}"

        # The monitor: the group shows, a group added through the form appears, the hostile
        # value is text.
        driver.get(f"{base}/ticker/{ticker}")
        wait_for("the headlines group", lambda: driver.find_elements(By.CSS_SELECTOR, '[data-group="headlines"]'))
        assert "<img src=x onerror=alert(1)>" in driver.find_element(By.ID, "groups").text
        assert not driver.find_elements(By.CSS_SELECTOR, "#groups img")
        form = driver.find_element(By.ID, "add-group")
        form.find_element(By.NAME, "group").send_keys("weather")
        form.find_element(By.NAME, "follow").send_keys("headlines")
        form.find_element(By.NAME, "text").send_keys("Sunny spells")
        form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        card = wait_for("the weather group", lambda: driver.find_elements(By.CSS_SELECTOR, '[data-group="weather"]'))
        assert "Sunny" in card[0].text and "spells" in card[0].text, card[0].text
        wait_for("the reply", lambda: "AddGroupFromText: ok" in driver.find_element(By.ID, "replies").text)
        os.makedirs(shots, exist_ok=True)
        driver.save_screenshot(os.path.join(shots, "monitor.png"))
        assert no_alert(driver), "a value ran as script on the monitor"

        # The render page: the texts enter in carousel order under the title strip.
        driver.get(f"{base}/render/{ticker}?speed=900")
        expected = ["Headlines", "Bridge reopens", "<img src=x onerror=alert(1)>", "Sunny", "spells", "Headlines"]
        seen = []

        # Marks and reads new elements in one step: the crawl removes the ones that left.
        def crawled():
            seen.extend(driver.execute_script(
                "return [...document.querySelectorAll('.crawl .element:not([data-seen])')]"
                ".map(n => { n.dataset.seen = '1'; return n.textContent.trim(); });"))
            return len(seen) >= len(expected)
        wait_for("the crawl", crawled, 30)
        assert seen[:len(expected)] == expected, seen
        assert "TOP STORIES" in driver.find_element(By.ID, "titles").text.upper()
        assert not driver.find_elements(By.CSS_SELECTOR, "#stage img")
        assert driver.find_elements(By.CSS_SELECTOR, ".crawl .element.scroll_text")
        driver.save_screenshot(os.path.join(shots, "render.png"))
        assert no_alert(driver), "a value ran as script on the render page"

        # A second render page for the ticker is told why it gets nothing.
        second, _ = start_browser(scratch + "/profile2")
        try:
            second.get(f"{base}/render/{ticker}")
            status = wait_for("the refusal", lambda: second.find_element(By.ID, "ticker-status").text)
            assert "already has a render page" in status, status
            # While the crawl runs, the monitor tells the current group from what it is given.
            second.get(f"{base}/ticker/{ticker}")
            wait_for("the current group", lambda: second.find_elements(By.CSS_SELECTOR, ".group.current"))
            assert second.find_element(By.ID, "current").text in ("headlines", "weather")
            second.save_screenshot(os.path.join(shots, "monitor-live.png"))
        finally:
            second.quit()
        print(f"browser tests passed; screenshots in {shots}")
        return 0
    finally:
        if driver:
            driver.quit()
        for p in processes:
            p.kill()
            p.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
