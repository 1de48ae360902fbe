#!/usr/bin/python3
"""vettrix-service as a person meets it: the real service on a loopback port and Debian's
Chromium, driven by the keyboard and the mouse through chromedriver.

usage: browser_test.py [PATH_TO_VETTRIX_SERVICE [PATH_TO_MOBIDEX_CSV]]
"""

import http.server
import json
import os
import sys
import tempfile
import threading
import unittest
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import Service, check_api_answer  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SERVICE = sys.argv.pop(1) if len(sys.argv) > 1 else str(ROOT / "build" / "vettrix-service")
DATABASE = sys.argv.pop(1) if len(sys.argv) > 1 else str(ROOT / "data" / "mobidex.csv")

DESKTOP = (1280, 900)
VALID_IMEI = "35-209900-176148-1"  # Alcatel One Touch 332 in the shipped database
# A source with no place to break a line: the worst case for a phone's width.
LONG_SOURCE = "https://example.org/device-catalogue/" + "x" * 40 + ".html"


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--no-first-run", "--user-data-dir=" + profile,
                "--window-size=%d,%d" % DESKTOP):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(10)
    return driver


class Browser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data, cls.profile = tempfile.TemporaryDirectory(), tempfile.TemporaryDirectory()
        cls.service = Service(SERVICE, cls.data.name, db=Path(DATABASE).read_bytes())
        cls.base = "http://127.0.0.1:%d" % cls.service.port
        try:
            cls.driver = start_browser(cls.profile.name)
        except Exception:
            cls.service.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.profile.cleanup()
        status, log = cls.service.stop(), cls.service.read_log()
        cls.data.cleanup()
        # A stop by SIGTERM is a clean one; and the footer promises that lookups are not logged.
        if status != 0:
            raise AssertionError(f"vettrix-service exited with {status}:\n{log}")
        for looked_up in ("352099001761481", "35-209900", "12345678", "<b>"):
            if looked_up in log:
                raise AssertionError(f"the log names the lookup {looked_up!r}:\n{log}")

    # --- steps ----------------------------------------------------------------------------

    def texts(self, *ids):
        """The text shown by each element, None for one the page lacks (in one round trip)."""
        return self.driver.execute_script(
            "return arguments[0].map(id => document.getElementById(id)?.innerText ?? null);",
            list(ids))

    def leave_page(self, action, element_id):
        """Does `action` and waits for the next page, loaded and showing `element_id`."""
        self.driver.execute_script("window.leaving = true;")  # gone with this page
        action()
        # While the page changes, chromedriver may answer with a passing error of its own.
        WebDriverWait(self.driver, 10, 0.05, ignored_exceptions=(WebDriverException,)).until(
            lambda d: d.execute_script(
                "return !window.leaving && document.readyState === 'complete' &&"
                " document.getElementById(arguments[0]) !== null;", element_id))

    def search(self, typed):
        """Types into the search field as a person would and presses Enter."""
        field = self.driver.find_element(By.ID, "imei")
        field.clear()
        self.leave_page(lambda: field.send_keys(typed, Keys.ENTER), "verdict")

    def check_page(self, what, phone):
        """What must hold on every page: no complaint in the browser's log, the style sheet and
        icon loaded, and at a phone's width nothing wider than the screen."""
        entries = self.driver.get_log("browser")
        csp = [e for e in entries
               if e["source"] == "security" or "Content Security Policy" in e["message"]]
        self.assertEqual(csp, [], f"{what}: Content-Security-Policy violations")
        severe = [e for e in entries if e["level"] == "SEVERE"]
        self.assertEqual(severe, [], f"{what}: errors in the browser's log")
        # The viewport without a vertical scroll bar (clientWidth) is stricter than innerWidth.
        sizes = self.driver.execute_script(
            "const root = document.documentElement, icon = document.querySelector('h1 img');"
            "return [root.scrollWidth, root.clientWidth, window.innerWidth,"
            " getComputedStyle(document.body).margin, icon.naturalWidth];")
        scroll_width, client_width, inner_width, body_margin, icon_width = sizes
        self.assertEqual(body_margin, "0px", f"{what}: /style.css was not applied")
        self.assertGreater(icon_width, 0, f"{what}: /favicon.svg was not shown")
        if phone:
            self.assertLessEqual(inner_width, 400, f"{what}: not at a phone's width")
            self.assertLessEqual(scroll_width, client_width, f"{what}: scrolls sideways")

    # --- tests ----------------------------------------------------------------------------

    def test_lookups_and_a_submission(self):
        visited = []  # (what, address), to see again at a phone's width

        def seen(what):
            self.check_page(what, phone=False)
            visited.append((what, self.driver.current_url))

        self.driver.get(self.base + "/")
        seen("home")

        self.search(VALID_IMEI)
        self.assertEqual(self.texts("verdict", "manufacturer", "model", "input"),
                         ["VALID", "Alcatel", "One Touch 332", VALID_IMEI])
        seen("a valid IMEI")

        tac = "12345678"
        self.search(tac)
        not_found, manufacturer = self.texts("not-found", "manufacturer")
        self.assertIn(tac, not_found)
        self.assertIsNone(manufacturer)
        self.assertEqual(
            self.driver.find_element(By.ID, "submit-tac").get_attribute("value"), tac)
        seen("an unknown TAC")

        sent = {"manufacturer": "Ünïcode", "model": "Ünïcode Phone", "source": LONG_SOURCE,
                "note": "Seen in a shop.\nBox: Ω-7 – ≥ 2 GB"}
        for field, value in sent.items():
            self.driver.find_element(By.ID, "submit-" + field).send_keys(value)
        button = self.driver.find_element(By.CSS_SELECTOR, "#submit-form button[type=submit]")
        self.leave_page(button.click, "reference")
        reference, status, *shown = self.texts(
            "reference", "status", "submitted-tac", "submitted-manufacturer", "submitted-model",
            "submitted-source")
        self.assertRegex(reference, r"^[1-9][0-9]*$")
        self.assertTrue(self.driver.current_url.endswith("/submissions/" + reference))
        self.assertIn("waits for review", status)
        # What the database would publish; the source stays with the operator.
        self.assertEqual(shown, [tac, sent["manufacturer"], sent["model"], None])
        seen("the submission")

        # The same pages on a phone.
        self.driver.set_window_size(390, 844)
        try:
            for what, address in visited:
                with self.subTest(f"{what} at a phone's width"):
                    self.driver.get(address)
                    self.check_page(what, phone=True)
                    if "?imei=" in address:  # the verdict on the first screen
                        box = self.driver.execute_script(
                            "const r = document.getElementById('verdict').getBoundingClientRect();"
                            "return [r.left, r.right, r.top, r.bottom, document.documentElement.clientWidth, window.innerHeight];")
                        left, right, top, bottom, width, height = box
                        self.assertTrue(0 <= left < right <= width and 0 <= top < bottom <= height, f"{what}: {box}")
        finally:
            self.driver.set_window_size(*DESKTOP)

    def test_a_page_on_another_site_checks_imeis_but_cannot_submit(self):
        # The page, from a server of its own on another port: another origin.
        script = """
            const send = (path, body) => fetch(SERVICE + path, {method: "POST",
                headers: {"Content-Type": "application/json"}, body: JSON.stringify(body)})
              .then(r => r.json().then(answer => [r.status, answer]), e => ["blocked", String(e)]);
            Promise.all([send("/api/v1/imei", {imeis: ["%s", "12345678"]}),
                         send("/api/v1/submissions", {tac: "87654321", manufacturer: "A",
                                                      model: "B", source: "C"})])
              .then(answers => { document.title = JSON.stringify(answers); });
        """.replace("SERVICE", json.dumps(self.base)) % VALID_IMEI
        page = ("<!DOCTYPE html><title>waiting</title><script>%s</script>" % script).encode()

        class Page(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *args):
                pass

        other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
        threading.Thread(target=other.serve_forever, daemon=True).start()
        try:
            self.driver.get("http://127.0.0.1:%d/" % other.server_address[1])
            WebDriverWait(self.driver, 10, 0.05).until(lambda d: d.title != "waiting")
            (status, checked), (submitted, _) = json.loads(self.driver.title)
        finally:
            other.shutdown()
            other.server_close()
        self.assertEqual(status, 200)
        check_api_answer(self.service.port, "POST", "/api/v1/imei", status, "application/json", json.dumps(checked))
        self.assertEqual([(r["verdict"], r["manufacturer"]) for r in checked["results"]],
                         [("valid", "Alcatel"), ("invalid", "")])
        self.assertEqual(submitted, "blocked")
        # The browser says why, and the preflight kept the submission from being sent at all.
        log = " ".join(e["message"] for e in self.driver.get_log("browser"))
        self.assertIn("CORS policy", log)
        self.assertNotIn("POST /api/v1/submissions", self.service.read_log())

    def test_markup_typed_comes_back_as_text(self):
        self.driver.get(self.base + "/")
        typed = '"><b>x</b>&amp;'
        self.search(typed)
        self.assertEqual(self.texts("verdict", "input"), ["INVALID", typed])
        self.assertEqual(self.driver.find_element(By.ID, "imei").get_attribute("value"), typed)
        self.assertEqual(self.driver.find_elements(By.TAG_NAME, "b"), [])
        self.check_page("markup looked up", False)


if __name__ == "__main__":
    unittest.main()
