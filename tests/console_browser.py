#!/usr/bin/env python3
"""The console in a real browser: headless chromium through chromedriver drives a service
session on a running zevd, checks the device through the API after each step, opens the
static reference from disk, and leaves screenshots and timings in the build folder.

console_browser.py ZEVD ZEVCTL BUILD_DIR
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

ZEVD, ZEVCTL, BUILD = sys.argv[1:4]
SHOTS = os.path.join(BUILD, "screenshots")
WORK = tempfile.mkdtemp(prefix="zev-console-")
DOWNLOADS = os.path.join(WORK, "downloads")
TOKEN = "console-test-token-0123456789abcdef"


def start_zevd(*extra):
    token_file = os.path.join(WORK, "token")
    with open(token_file, "w") as f:
        f.write(TOKEN)
    process = subprocess.Popen([ZEVD, "--listen", "127.0.0.1:0", "--token-file", token_file,
                                "--audit-log", os.path.join(WORK, "audit.log")] + list(extra),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    url = re.search(r"listening on (http://\S+)", process.stdout.readline()).group(1)
    return process, url


class Console(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(SHOTS, exist_ok=True)
        os.makedirs(DOWNLOADS, exist_ok=True)
        cls.zevd, cls.url = start_zevd()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1500,950",
                         "--disable-dev-shm-usage"):
            options.add_argument(argument)
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.browser.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": DOWNLOADS})
        # The page re-renders after every answer: an element found a moment ago may be gone.
        cls.wait = WebDriverWait(cls.browser, 10, ignored_exceptions=(StaleElementReferenceException,))

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.zevd.terminate()
        cls.zevd.wait()

    # The device through the API, as the test sees it beside the browser.
    def api(self, method, path, body=None, url=None):
        request = urllib.request.Request((url or self.url) + "/api/v1/" + path, method=method,
                                         data=None if body is None else json.dumps(body).encode(),
                                         headers={"Authorization": "Bearer " + TOKEN,
                                                  "Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request) as answer:
                return json.loads(answer.read())
        except urllib.error.HTTPError as error:
            return json.loads(error.read())

    def audit_lines(self):
        with open(os.path.join(WORK, "audit.log")) as f:
            return f.read().splitlines()

    def find(self, css):
        return self.browser.find_element(By.CSS_SELECTOR, css)

    def signal_row(self, name):
        return self.find('tr[data-signal="%s"]' % name)

    def cell(self, signal, column):
        return self.browser.execute_script(
            "return document.querySelector('tr[data-signal=\"' + arguments[0] + '\"]').cells[arguments[1] + 1].innerText",
            signal, column)

    def message(self, signal):
        return self.browser.execute_script(
            "return document.querySelector('tr[data-signal=\"' + arguments[0] + '\"] .message').innerText", signal)

    def until(self, condition, what):
        self.wait.until(lambda _: condition(), message=what)

    def open_console(self, url):
        self.browser.get(url + "/#token=" + TOKEN)
        self.until(lambda: self.browser.execute_script("return document.body.dataset.ready") == "true",
                   "the console became ready")

    def test_a_service_session(self):
        b = self.browser
        self.open_console(self.url)
        ready_ms = b.execute_script("return window.zevTimings.ready")
        # The baseline in the same load: the page and its script parsed, before any request.
        parsed_ms = b.execute_script("return performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd")
        self.assertEqual(len(b.find_elements(By.CSS_SELECTOR, "#tree > details > ul > li > a")), 441)
        self.assertNotIn("token", b.current_url, "the token leaves the address bar")

        # Search as you type (a key at a time, as a person types): registers by name, and
        # registers by their signals' names, those signals beneath them.
        search = self.find("#search")
        for key in "TRIG_SEL":
            search.send_keys(key)
            time.sleep(0.1)
        self.until(lambda: len(b.execute_script("return window.zevTimings.filter")) == 8, "every keystroke filtered")
        filter_ms = b.execute_script("return window.zevTimings.filter")
        shown = b.execute_script("return [...document.querySelectorAll('#tree a')]"
                                 ".filter((a) => a.offsetParent !== null).map((a) => a.textContent)")
        self.assertIn("AUD_CNTRL0", shown)
        self.assertIn("TRIG_SEL", shown)
        self.assertNotIn("DIN_MS_DET_LOW", shown)
        b.save_screenshot(os.path.join(SHOTS, "console-search.png"))

        # The signal's link opens its register with the signal's editor in focus.
        b.find_element(By.CSS_SELECTOR, 'a[href="#/AUD_CNTRL0/TRIG_SEL"]').click()
        self.until(lambda: self.find("#view h2").text == "AUD_CNTRL0", "the register opened")
        bits = b.find_elements(By.CSS_SELECTOR, ".bits tr:last-child th")
        self.assertEqual([t.text for t in bits], [str(n) for n in range(23, -1, -1)])
        self.assertIn("TRIG_SEL", [t.text for t in b.find_elements(By.CSS_SELECTOR, ".bits td.label")])
        self.assertTrue(b.find_elements(By.CSS_SELECTOR, ".bits td.free"), "bits no signal covers are shaded")
        self.assertEqual(b.switch_to.active_element.get_attribute("id"), "edit-TRIG_SEL")

        # Write an enumerator: the signal is then locked, on the page and on the device.
        audit_before = len(self.audit_lines())
        Select(self.find("#edit-TRIG_SEL")).select_by_value("MARKER_SIG_3")
        self.signal_row("TRIG_SEL").find_element(By.XPATH, ".//button[text()='Write']").click()
        self.until(lambda: self.cell("TRIG_SEL", 3) == "LOCKED", "the lock state shows LOCKED")
        self.assertEqual(self.cell("TRIG_SEL", 2), "MARKER_SIG_3")
        described = self.api("GET", "registers/AUD_CNTRL0")
        self.assertEqual([s["lock"] for s in described["signals"] if s["name"] == "TRIG_SEL"], ["LOCKED"])
        self.assertEqual(self.api("POST", "read", {"register": "AUD_CNTRL0", "signal": "TRIG_SEL"})["values"],
                         ["MARKER_SIG_3"])
        b.save_screenshot(os.path.join(SHOTS, "console-register.png"))

        # Unlock: the application's value comes back.
        self.signal_row("TRIG_SEL").find_element(By.XPATH, ".//button[text()='Unlock']").click()
        self.until(lambda: self.cell("TRIG_SEL", 3) == "UNLOCKED", "the lock state shows UNLOCKED")
        self.assertEqual(self.cell("TRIG_SEL", 2), "MARKER_SIG_0")
        self.assertEqual(self.api("POST", "read", {"register": "AUD_CNTRL0", "signal": "TRIG_SEL"})["values"],
                         ["MARKER_SIG_0"])
        self.assertEqual(len(self.audit_lines()), audit_before + 2)

        # Above the field's maximum: refused on the page, nothing sent.
        shift = self.find("#edit-SHIFT_HP")
        shift.send_keys("8", Keys.ENTER)
        self.until(lambda: "maximum" in self.message("SHIFT_HP"), "the page refuses the value")
        self.assertEqual(self.message("SHIFT_HP"), "8 is above the field's maximum 7 (0x7): not sent")
        self.assertEqual(len(self.audit_lines()), audit_before + 2, "no request reached the server")

        # A text the library refuses: its error and report, verbatim, beside the field.
        shift = self.find("#edit-SHIFT_HP")
        shift.clear()
        shift.send_keys("5/x", Keys.ENTER)
        self.until(lambda: "Invalid" in self.message("SHIFT_HP"), "the library's error is shown")
        lines = self.message("SHIFT_HP").split("\n")
        expected = "Invalid value(s) submitted: 5/x,Wrong format specified (use /d for decimal or /h for hex values)"
        self.assertEqual(lines[0], expected)
        self.assertRegex(lines[1], r"^SignalBase:\d+: CSignalBase::ServiceWrite: " + re.escape(expected) + "$")

        # The live panel saw the write's bus transfer.
        events = [li.text for li in b.find_elements(By.CSS_SELECTOR, "#events li")]
        self.assertTrue(any(e.startswith("bus: W 0x00E00") for e in events), events[-5:])

        # A memory range, edited and written.
        b.get(self.url + "/#/ENT_H1")
        self.until(lambda: self.find("#view h2").text == "ENT_H1", "the memory opened")
        start = self.find("#mem-start")
        start.clear()
        start.send_keys("2")
        self.find("#mem-words").send_keys("AB CD")
        b.find_element(By.XPATH, "//button[text()='Write range']").click()
        self.until(lambda: self.find("#mem-message").text == "written", "the range is written")
        words = [td.text for td in b.find_elements(By.CSS_SELECTOR, "table.memory td")]
        self.assertEqual(words[:4], ["00000000", "00000000", "000000AB", "000000CD"])
        self.assertEqual(self.api("POST", "read", {"register": "ENT_H1", "start": 2, "count": 2})["values"],
                         ["000000AB/h", "000000CD/h"])
        b.save_screenshot(os.path.join(SHOTS, "console-memory.png"))

        # Keyboard only: search, arrow down into the list, Enter opens.
        search = self.find("#search")
        search.clear()
        search.send_keys("DIN_MS_DET", Keys.ARROW_DOWN)
        chosen = b.switch_to.active_element.text
        self.assertTrue(chosen.startswith("DIN_MS_DET"), chosen)
        b.switch_to.active_element.send_keys(Keys.ENTER)
        self.until(lambda: self.find("#view h2").text == chosen, "Enter opened the register")

        # The snapshot download is the same script as zevctl's.
        self.find("#snapshot").click()
        path = os.path.join(DOWNLOADS, "ZEV_DUMP.m")
        # (Headless chromium finishes a download only while the driver talks to it.)
        self.until(lambda: b.title and os.path.exists(path) and os.path.getsize(path) > 0, "the snapshot downloaded")
        zevctl = subprocess.run([ZEVCTL, "--connect", self.url, "--token-file", os.path.join(WORK, "token"),
                                 "snapshot"], capture_output=True, text=True, check=True)
        with open(path) as f:
            self.assertEqual(f.read(), zevctl.stdout)

        with open(os.path.join(BUILD, "console-timings.json"), "w") as f:
            json.dump({"parsed_ms": parsed_ms, "ready_ms": ready_ms, "filter_ms": filter_ms}, f)
        print("\nconsole parsed in %.0f ms, ready with 441 registers in %.0f ms; search keystrokes %s ms"
              % (parsed_ms, ready_ms, ", ".join("%.1f" % t for t in filter_ms)))

    def test_b_read_only_server_disables_the_editors(self):
        process, url = start_zevd("--read-only")
        try:
            self.open_console(url)
            self.browser.get(url + "/#/AUD_CNTRL0")
            self.until(lambda: self.find("#view h2").text == "AUD_CNTRL0", "the register opened")
            self.assertIn("read-only", self.find("#readonly").text)
            self.assertFalse(self.find("#edit-TRIG_SEL").is_enabled())
            self.assertFalse(self.find("#defaults").is_enabled())
            write = self.signal_row("TRIG_SEL").find_element(By.XPATH, ".//button[text()='Write']")
            self.assertIn("read-only", write.get_attribute("title"))
        finally:
            process.terminate()
            process.wait()

    def test_c_static_reference_opens_from_disk(self):
        folder = os.path.join(BUILD, "reference")
        subprocess.run([ZEVD, "--export-reference", folder], check=True, stdout=subprocess.DEVNULL)
        b = self.browser
        b.get("file://" + os.path.abspath(folder) + "/index.html#/AUD_CNTRL0")
        self.until(lambda: b.execute_script("return document.body.dataset.ready") == "true", "the reference loaded")
        self.until(lambda: self.find("#view h2").text == "AUD_CNTRL0", "the register page opened")
        self.assertEqual(self.find("#title").text, "ZEV register reference")
        self.assertIn("3 MARKER_SIG_3", self.cell("TRIG_SEL", 2))
        self.assertIn("CSequentialRead_ParallelWrite", self.find("table.props").text)
        self.assertFalse(self.find("#actions").is_displayed(), "no device actions without a device")
        b.save_screenshot(os.path.join(SHOTS, "reference.png"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
