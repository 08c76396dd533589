#!/usr/bin/env python3
"""The console in a real browser: headless chromium through chromedriver drives service
sessions on running zevd processes, checks the device through the API after each step,
checks every page with axe-core, opens the static reference from disk, and leaves
screenshots and timings in the build folder.

console_browser.py ZEVD ZEVCTL BUILD_DIR [Console.test_NAME ...]
"""
import http.client
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
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
TOKEN_FILE = os.path.join(WORK, "token")
AXE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "node", "node_modules", "axe-core",
                   "axe.min.js")
WCAG = ["wcag2a", "wcag2aa", "wcag21aa", "wcag22aa"]


def start_zevd(*extra, audit="audit.log", listen="127.0.0.1:0"):
    with open(TOKEN_FILE, "w") as f:
        f.write(TOKEN)
    process = subprocess.Popen([ZEVD, "--listen", listen, "--token-file", TOKEN_FILE,
                                "--audit-log", os.path.join(WORK, audit)] + list(extra),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    url = re.search(r"listening on (http://\S+)", process.stdout.readline()).group(1)
    return process, url


def stop(process):
    process.stdout.close()
    process.terminate()
    try:
        process.wait(timeout=3)
    except subprocess.TimeoutExpired:     # (a zevd that did not stop on SIGTERM must not hang the test)
        print("\nzevd did not stop within 3 s of SIGTERM: killed", file=sys.stderr)
        process.kill()
        process.wait()


def new_browser(width=1400, height=900):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=%d,%d" % (width, height + 100),
                     "--disable-dev-shm-usage"):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    browser.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": DOWNLOADS})
    size(browser, width, height)
    return browser


def size(browser, width, height):
    # The page's own window: exactly width x height CSS pixels, as a person's screen would be.
    browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                            {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})


def api(url, method, path, body=None, token=TOKEN):
    request = urllib.request.Request(url + "/api/v1/" + path, method=method,
                                     data=None if body is None else json.dumps(body).encode(),
                                     headers={"Authorization": "Bearer " + token, "Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request) as answer:
            return json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return json.loads(error.read())


class Page:
    """One browser on one zevd, with what the tests ask of the page."""

    def __init__(self, browser, url):
        self.b, self.url = browser, url
        # The page re-renders parts after every answer: an element found a moment ago may be gone.
        self.wait = WebDriverWait(browser, 10, ignored_exceptions=(StaleElementReferenceException,))

    def js(self, script, *args):
        return self.b.execute_script(script, *args)

    def until(self, condition, what, timeout=10):
        return WebDriverWait(self.b, timeout, ignored_exceptions=(StaleElementReferenceException,)).until(
            lambda _: condition(), message=what)

    def find(self, css):
        return self.b.find_element(By.CSS_SELECTOR, css)

    def finds(self, css):
        return self.b.find_elements(By.CSS_SELECTOR, css)

    def open(self, route="", token=TOKEN):
        self.b.get("about:blank")      # a fresh page, not a new address in the same one
        self.b.get(self.url + "/#token=" + token + route)
        self.until(lambda: self.js("return document.body.dataset.ready") == "true", "the console became ready")
        if route.startswith("/"):
            self.until(lambda: self.heading() == route.split("/")[1], "the register opened")
            self.until(lambda: self.read(), "the register was read")

    def streaming(self):
        self.until(lambda: self.js("return document.getElementById('live').dataset.streaming") == "true",
                   "the live panel follows the event stream")

    def go(self, register, signal=None):
        self.b.get(self.url + "/#/" + register + ("/" + signal if signal else ""))
        self.until(lambda: self.heading() == register, "%s opened" % register)
        self.until(lambda: self.read(), "%s was read" % register)

    def heading(self):
        return self.js("const h = document.querySelector('#view h2'); return h ? h.textContent : null")

    def read(self):
        # The register's "Last read" holds a time once the device answered.
        # (A write-only register says so there, once its lock states came.)
        return re.match(r"\d\d:\d\d:\d\d|write-only", self.js("const n = document.getElementById('read-at');"
                                                              "return n ? n.textContent : ''") or "") is not None

    def cell(self, signal, column):
        return self.js("const r = document.querySelector('tr[data-signal=\"' + arguments[0] + '\"]');"
                       "return r.querySelector(arguments[1]).innerText", signal,
                       {"value": "td:nth-child(4)", "lock": "td:nth-child(5)"}[column])

    def texts(self, css):
        """The texts of every element a selector finds, in one call."""
        return self.js("return [...document.querySelectorAll(arguments[0])].map((n) => n.textContent)", css)

    def row(self, signal):
        return self.find('tr[data-signal="%s"]' % signal)

    def button(self, signal, text):
        return self.row(signal).find_element(By.XPATH, ".//button[text()='%s']" % text)

    def message(self, selector):
        """(kind, text) of a message: a signal's (by name) or any element's (by #id)."""
        if not selector.startswith("#"):
            selector = 'tr[data-signal="%s"] .message' % selector
        return tuple(self.js("const n = document.querySelector(arguments[0]);"
                             "return [n.className.replace('message', '').trim(), n.innerText]", selector))

    def toasts(self):
        return [tuple(t) for t in self.js("return [...document.querySelectorAll('#toasts .toast')]"
                                          ".map((t) => [t.className.replace('toast', '').trim(), t.querySelector('.text').innerText])")]

    def clear_toasts(self):
        self.js("document.getElementById('toasts').replaceChildren()")

    def write(self, signal, value):
        field = self.find("#edit-" + signal)
        if field.tag_name == "select":
            Select(field).select_by_value(value)
            self.button(signal, "Write").click()
        else:
            field.clear()
            field.send_keys(value, Keys.ENTER)

    def active(self):
        return self.js("const a = document.activeElement; return a.id || a.tagName + ':' + a.textContent")

    def axe(self):
        if not os.path.exists(AXE):
            raise AssertionError("axe-core is missing (%s): run tools/install-deps.sh" % AXE)
        if not self.js("return !!window.axe"):
            with open(AXE) as f:
                self.js(f.read())
        result = self.b.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {runOnly: {type: 'tag', values: arguments[0]}}).then("
            "(r) => done(r.violations.map((v) => [v.id, v.help, v.nodes.slice(0, 3).map((n) => n.target.join(' '))])),"
            "(e) => done([['axe failed', String(e), []]]))", WCAG)
        return result

    def shot(self, name):
        self.b.save_screenshot(os.path.join(SHOTS, name))


def overflowing(page, pane="view", scrolling_box=None):
    """Elements of a pane that reach past its right edge (but those in a box that scrolls on
    its own), and the pane's own overflow."""
    return page.js("""
        const pane = document.getElementById(arguments[0]);
        const right = pane.getBoundingClientRect().left + pane.clientWidth + 0.5;
        const wide = [...pane.querySelectorAll('*')].filter((n) => n.getClientRects().length &&
            !(arguments[1] && n.parentElement.closest(arguments[1])) &&
            n.getBoundingClientRect().right > right).map((n) => n.tagName + (n.id ? '#' + n.id : '') + '.' + n.className);
        return {scroll: pane.scrollWidth - pane.clientWidth, wide: wide.slice(0, 5), count: wide.length};""",
                   pane, scrolling_box)


class Console(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(SHOTS, exist_ok=True)
        os.makedirs(DOWNLOADS, exist_ok=True)
        cls.zevd, cls.url = start_zevd()
        cls.browser = new_browser()
        cls.page = Page(cls.browser, cls.url)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        stop(cls.zevd)

    def setUp(self):
        # Every test starts from the device's defaults, nothing locked, at 1400 x 900.
        self.started = time.monotonic()
        self.api("POST", "unlock", {"register": "ALL", "signal": "ALL"})
        self.api("POST", "defaults", {})
        size(self.browser, 1400, 900)

    def tearDown(self):
        print(" (%.1f s)" % (time.monotonic() - self.started), end=" ", file=sys.stderr)

    def api(self, method, path, body=None, url=None):
        return api(url or self.url, method, path, body)

    def audit_lines(self):
        with open(os.path.join(WORK, "audit.log")) as f:
            return f.read().splitlines()

    def field(self, register, signal, url=None):
        return self.api("POST", "read", {"register": register, "signal": signal}, url=url)["values"][0]

    def lock(self, register, signal):
        return [s["lock"] for s in self.api("GET", "registers/" + register)["signals"] if s["name"] == signal][0]

    @staticmethod
    def downloads():
        """The download folder's files and their times."""
        found = {}
        for name in os.listdir(DOWNLOADS):
            try:
                found[name] = os.stat(os.path.join(DOWNLOADS, name)).st_mtime_ns
            except FileNotFoundError:
                pass  # chromium renamed its partial file between the listing and the look
        return found

    def downloaded(self, pattern, before):
        """The one file in the download folder whose name matches and that is new or newer than
        in before (a name stamped to the second is the same for two saves in one second)."""
        def fresh():
            now = self.downloads()
            for name in now:
                if re.fullmatch(pattern, name) and before.get(name) != now[name]:
                    try:
                        if os.path.getsize(os.path.join(DOWNLOADS, name)) > 0:
                            return name
                    except FileNotFoundError:
                        pass
            return None
        # (Headless chromium finishes a download only while the driver talks to it.)
        name = self.page.until(lambda: self.browser.title and fresh(), "a file %s downloaded" % pattern)
        with open(os.path.join(DOWNLOADS, name)) as f:
            return f.read()

    # ---- the happy path, as the README describes it ----
    def test_01_a_service_session(self):
        p, b = self.page, self.browser
        p.open()
        self.assertEqual(len(p.finds("#tree > details > ul > li > a")), 441)
        self.assertNotIn("token", b.current_url, "the token leaves the address bar")
        self.assertEqual(p.find("#connection").text, "Connected")

        # Search as you type (a key at a time, as a person types): registers by name, and
        # registers by their signals' names, those signals beneath them.
        search = p.find("#search")
        for key in "TRIG_SEL":
            search.send_keys(key)
            time.sleep(0.05)
        shown = p.js("return [...document.querySelectorAll('#tree a')].filter((a) => a.offsetParent !== null)"
                     ".map((a) => a.firstChild.textContent)")
        self.assertIn("AUD_CNTRL0", shown)
        self.assertIn("TRIG_SEL", shown)
        self.assertNotIn("DIN_MS_DET_LOW", shown)

        # The signal's link opens its register with the signal's editor in focus.
        b.find_element(By.CSS_SELECTOR, 'a[href="#/AUD_CNTRL0/TRIG_SEL"]').click()
        p.until(lambda: p.heading() == "AUD_CNTRL0" and p.read(), "the register opened and was read")
        self.assertEqual(p.texts(".bits .bit-number"), [str(n) for n in range(23, -1, -1)])
        self.assertIn("TRIG_SEL", p.texts(".bits .field"))
        self.assertTrue(p.finds(".bits .field.free"), "bits no signal covers are shaded")
        self.assertEqual(p.active(), "edit-TRIG_SEL")

        # Write an enumerator: the signal is then locked, on the page and on the device.
        audit_before = len(self.audit_lines())
        p.write("TRIG_SEL", "MARKER_SIG_3")
        p.until(lambda: p.cell("TRIG_SEL", "lock") == "LOCKED", "the lock state shows LOCKED")
        self.assertEqual(p.cell("TRIG_SEL", "value"), "MARKER_SIG_3 (3)")
        self.assertEqual(p.message("TRIG_SEL"), ("ok", "written"))
        self.assertEqual(self.lock("AUD_CNTRL0", "TRIG_SEL"), "LOCKED")
        self.assertEqual(self.field("AUD_CNTRL0", "TRIG_SEL"), "MARKER_SIG_3")

        # Unlock: the application's value comes back.
        p.button("TRIG_SEL", "Unlock").click()
        p.until(lambda: p.cell("TRIG_SEL", "lock") == "UNLOCKED", "the lock state shows UNLOCKED")
        self.assertEqual(p.cell("TRIG_SEL", "value"), "MARKER_SIG_0 (0)")
        self.assertEqual(self.field("AUD_CNTRL0", "TRIG_SEL"), "MARKER_SIG_0")
        self.assertEqual(len(self.audit_lines()), audit_before + 2)

        # Above the field's maximum: refused on the page, nothing sent.
        p.write("SHIFT_HP", "8")
        p.until(lambda: "maximum" in p.message("SHIFT_HP")[1], "the page refuses the value")
        self.assertEqual(p.message("SHIFT_HP"), ("error", "8 is above the maximum 7 (0x7): not sent (SHIFT_HP takes 0 to 7)"))
        self.assertEqual(len(self.audit_lines()), audit_before + 2, "no request reached the server")

        # A text in the library's own format that it refuses: its error and report, verbatim.
        p.write("SHIFT_HP", "5/x")
        p.until(lambda: "Invalid" in p.message("SHIFT_HP")[1], "the library's error is shown")
        kind, text = p.message("SHIFT_HP")
        expected = "Invalid value(s) submitted: 5/x,Wrong format specified (use /d for decimal or /h for hex values)"
        self.assertEqual(kind, "error")
        self.assertEqual(text.split("\n")[0], expected)
        self.assertRegex(text.split("\n")[1], r"^SignalBase:\d+: CSignalBase::ServiceWrite: " + re.escape(expected) + "$")

        # The live panel saw the write's bus transfer.
        p.until(lambda: any("bus: W 0x00E00" in e for e in p.texts("#events li")), "the live panel shows the write")

        # The snapshot download is the same script as zevctl's.
        before = self.downloads()
        p.find("#snapshot").click()
        snapshot = self.downloaded(r"ZEV_DUMP.*\.m", before)
        zevctl = subprocess.run([ZEVCTL, "--connect", self.url, "--token-file", TOKEN_FILE, "snapshot"],
                                capture_output=True, text=True, check=True)
        self.assertEqual(snapshot, zevctl.stdout)

    # ---- the faults of the first version, each reproduced ----
    def test_02_refusals_are_checked_before_sending_and_never_shown_as_success(self):
        p = self.page
        p.open("/ENT_H1")
        Select(p.find("#radix")).select_by_value("hex")
        audit_before = len(self.audit_lines())
        words_before = self.api("POST", "words", {"register": "ENT_H1"})["words"]
        for bad in ("zz", "123456789", "1G"):
            start = p.find("#mem-start")
            start.clear()
            start.send_keys("0")
            words = p.find("#mem-words")
            words.clear()
            words.send_keys(bad)
            p.js("document.getElementById('mem-message').className = 'message'")
            p.find("#mem-write").click()
            p.until(lambda: p.message("#mem-message")[0] != "", "the page answered " + bad)
            kind, text = p.message("#mem-message")
            self.assertEqual(kind, "error", bad)
            self.assertTrue(text.endswith("not sent"), text)
        self.assertEqual(len(self.audit_lines()), audit_before, "nothing was sent")
        self.assertEqual(self.api("POST", "words", {"register": "ENT_H1"})["words"], words_before)
        Select(p.find("#radix")).select_by_value("dec")

        # What the access strategy forbids is disabled, and says why.
        p.go("PRI_SERVAL")
        for control in (p.find("#edit-SERVAL"), p.button("SERVAL", "Write"), p.find("#raw-word")):
            self.assertFalse(control.is_enabled())
        self.assertIn("read-only register", p.button("SERVAL", "Write").get_attribute("title"))
        self.assertFalse(p.finds("button.bit"), "no clickable bits on a read-only register")
        self.assertEqual(self.lock("PRI_SERVAL", "SERVAL"), "UNLOCKED")

        # A refused direction is a warning, never a success: SetToDefault meets the
        # read-only registers.
        p.clear_toasts()
        p.find("#defaults").click()
        p.until(lambda: p.toasts(), "SetToDefault answered")
        kind, text = p.toasts()[0]
        self.assertEqual(kind, "warn")
        self.assertIn("No write access allowed!", text)
        self.assertIn("refused by the device", text)

    def test_03_numbers_in_the_chosen_radix(self):
        p = self.page
        p.open("/AUD_CNTRL0")
        radix = Select(p.find("#radix"))
        radix.select_by_value("hex")
        self.assertEqual(p.find("#edit-MULT_HP").get_attribute("placeholder"), "0 to 0x3F")
        p.write("MULT_HP", "10")
        p.until(lambda: p.message("MULT_HP")[0] != "", "the write answered")
        self.assertEqual(self.field("AUD_CNTRL0", "MULT_HP"), "00000010/h", "typed 10 in hexadecimal is 16")
        self.assertEqual(p.cell("MULT_HP", "value"), "0x10")
        # Each field in binary and decimal too.
        radix.select_by_value("bin")
        self.assertEqual(p.cell("MULT_HP", "value"), "0b010000")
        radix.select_by_value("dec")
        self.assertEqual(p.cell("MULT_HP", "value"), "16")
        # 0x and /h say hexadecimal whatever the mode; above the maximum in hexadecimal.
        p.write("MULT_HP", "0x2A")
        p.until(lambda: self.field("AUD_CNTRL0", "MULT_HP") == "0000002A/h", "0x2A written")
        radix.select_by_value("hex")
        p.write("MULT_HP", "40")
        p.until(lambda: "not sent" in p.message("MULT_HP")[1], "0x40 refused")
        self.assertEqual(p.message("MULT_HP")[1], "40 is above the maximum 63 (0x3F): not sent (MULT_HP takes 0 to 0x3F)")
        radix.select_by_value("dec")

    def test_04_layout_bits_at_a_fixed_scale_in_every_register(self):
        p, b = self.page, self.browser
        p.open("/PRI_OFFRES1")
        # One-bit fields with long names: the picture stays within its pane.
        self.assertLessEqual(p.js("return document.querySelector('.bits').getBoundingClientRect().width"),
                             p.js("return document.getElementById('view').clientWidth"))
        widths = set(p.js("return [...document.querySelectorAll('.bits .bit')].map((n) => Math.round(n.getBoundingClientRect().width))"))
        self.assertLessEqual(max(widths) - min(widths), 1, "every bit is drawn the same width")
        # Every register of the map, opened in turn: nothing wider than the middle pane,
        # every editor on the screen.
        b.set_script_timeout(180)
        result = b.execute_async_script("""
            const done = arguments[arguments.length - 1];
            (async () => {
              const view = document.getElementById('view');
              const bad = [];
              let last = null;
              for (const register of window.ZEV.map.registers) {
                last = window.ZEV.openRegister(register, null);
                const right = view.getBoundingClientRect().left + view.clientWidth + 0.5;
                const wide = [...view.querySelectorAll('*')].filter((n) =>
                    n.getClientRects().length && n.getBoundingClientRect().right > right);
                const off = [...view.querySelectorAll('input, select, button')].filter((n) =>
                    n.getBoundingClientRect().right > window.innerWidth);
                if (wide.length || off.length || view.scrollWidth > view.clientWidth)
                  bad.push(register.name + ': ' + wide.length + ' wide, ' + off.length + ' editors off-screen');
              }
              await last;
              return bad;
            })().then(done, (e) => done(['failed: ' + e]));""")
        self.assertEqual(result, [])

    def test_05_keyboard(self):
        p, b = self.page, self.browser
        p.open()
        # On a fresh page the arrow keys go from the search box into the list and along it.
        p.find("#search").send_keys(Keys.ARROW_DOWN)
        self.assertEqual(p.js("return document.activeElement.tagName"), "SUMMARY")
        self.assertTrue(p.active().startswith("SUMMARY:AUD"), p.active())
        b.switch_to.active_element.send_keys(Keys.ARROW_RIGHT)
        b.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
        self.assertEqual(p.js("return document.activeElement.getAttribute('href')"), "#/AUD_CNTRL0")
        b.switch_to.active_element.send_keys(Keys.ENTER)
        p.until(lambda: p.heading() == "AUD_CNTRL0" and p.read(), "Enter opened the register")
        # After a write the focus stays in the editor; Tab goes on to its Write button.
        p.find("#edit-MULT_HP").send_keys("5", Keys.ENTER)
        p.until(lambda: p.message("MULT_HP")[0] == "ok", "the write answered")
        self.assertEqual(self.field("AUD_CNTRL0", "MULT_HP"), "00000005/h")
        self.assertEqual(p.active(), "edit-MULT_HP")
        b.switch_to.active_element.send_keys(Keys.TAB)
        self.assertEqual(p.js("return document.activeElement.textContent + ' ' + "
                              "document.activeElement.closest('tr').dataset.signal"), "Write MULT_HP")
        # Search, arrow down to the first register found, Enter opens it.
        search = p.find("#search")
        search.clear()
        search.send_keys("DIN_MS_DET", Keys.ARROW_DOWN)
        chosen = p.js("return document.activeElement.firstChild.textContent")
        self.assertTrue(chosen.startswith("DIN_MS_DET"), chosen)
        b.switch_to.active_element.send_keys(Keys.ENTER)
        p.until(lambda: p.heading() == chosen, "Enter opened the register")
        p.find("#search").send_keys(Keys.ESCAPE)

    def test_06_live_panel(self):
        p = self.page
        p.open("/AUD_CNTRL0")
        p.streaming()
        p.find("#clear").click()
        p.find("#defaults").click()
        p.until(lambda: p.finds("#events li.report"), "reports in the live panel")
        reports = p.texts("#events li.report")
        self.assertTrue(all(not r.split(" ", 2)[2].startswith("{") for r in reports), reports[:2])
        self.assertTrue(any("No write access allowed!" in r and r.split(" ")[2] == "refused" for r in reports), reports[:2])
        times = p.js("return [...document.querySelectorAll('#events li')].map((li) => li.querySelector('.when').textContent)")
        self.assertTrue(times and all(re.fullmatch(r"\d\d:\d\d:\d\d\.\d\d\d", t) for t in times), times[:3])
        # Long lines wrap inside the panel; the list scrolls under its header, never over it.
        self.assertEqual(overflowing(p, "events-box")["count"], 0)
        self.assertEqual(p.js("""const box = document.getElementById('events-box');
            box.scrollTop = box.scrollHeight / 2;
            const r = document.getElementById('pause').getBoundingClientRect();
            return document.elementFromPoint(r.left + 3, r.top + 3).id"""), "pause")
        # Pause holds what comes; Resume shows it.
        p.find("#pause").click()
        self.api("POST", "write", {"register": "AUD_CNTRL0", "signal": "MULT_HP", "values": ["7/d"]})
        p.until(lambda: re.search(r"\((\d+) held\)", p.find("#pause").text) and
                int(re.search(r"\((\d+) held\)", p.find("#pause").text).group(1)) > 0, "events held while paused")
        self.assertFalse(any("bus: W 0x00E00 3 0x00000038" in li for li in p.texts("#events li")))
        p.find("#pause").click()
        self.assertEqual(p.find("#pause").text, "Pause")
        p.until(lambda: any("bus: W 0x00E00 3 0x00000038" in li for li in p.texts("#events li")),
                "the held write shown after Resume")

    def test_07_state_is_read_on_demand_and_said_clearly(self):
        p, b = self.page, self.browser
        p.open("/AUD_CNTRL0")
        # Read on demand: the device changed behind the page's back.
        self.api("POST", "write", {"register": "AUD_CNTRL0", "signal": "MULT_HP", "values": ["9/d"]})
        self.assertEqual(p.cell("MULT_HP", "value"), "0")
        p.find("#read-register").click()
        p.until(lambda: p.cell("MULT_HP", "value") == "9", "Read shows the device's value")
        self.assertEqual(p.js("return [...document.querySelectorAll('tr.changed')].map((r) => r.dataset.signal)"), ["MULT_HP"])
        self.assertEqual(len(p.finds(".bits .bit.changed")), 2, "9 = 0b1001: two bits changed")
        # One field read on its own.
        self.api("POST", "write", {"register": "AUD_CNTRL0", "signal": "SHIFT_HP", "values": ["3/d"]})
        p.button("SHIFT_HP", "Read").click()
        p.until(lambda: p.cell("SHIFT_HP", "value") == "3", "the field's Read shows its value")
        self.assertEqual(p.js("return [...document.querySelectorAll('tr.changed')].map((r) => r.dataset.signal)"), ["SHIFT_HP"])
        # The register's lock state counts its fields.
        p.until(lambda: "2 of 5 fields" in p.find("#lock-state").text, "two fields held by the service")
        p.find("#lock-all").click()
        p.until(lambda: "5 of 5 fields" in p.find("#lock-state").text, "every field locked")

        # Reading every second goes on while an editor has focus (a deep link puts it there),
        # and leaves what is typed in it.
        p.find("#unlock-all").click()
        p.clear_toasts()
        p.go("AUD_CNTRL0", "SHIFT_DE")
        self.assertEqual(p.active(), "edit-SHIFT_DE")
        b.switch_to.active_element.send_keys("2")
        seconds = p.find("#auto-seconds")
        seconds.clear()
        seconds.send_keys("1", Keys.TAB)
        p.find("#edit-SHIFT_DE").click()
        p.find("#auto").click()
        p.find("#edit-SHIFT_DE").click()
        self.api("POST", "write", {"register": "AUD_CNTRL0", "signal": "MULT_DE", "values": ["5/d"]})
        p.until(lambda: p.cell("MULT_DE", "value") == "5", "the automatic read shows the new value", timeout=6)
        self.assertEqual(p.active(), "edit-SHIFT_DE")
        self.assertEqual(p.find("#edit-SHIFT_DE").get_attribute("value"), "2")
        p.find("#auto").click()

        # A write-only register says so instead of values.
        p.go("DET_RESET")
        self.assertEqual(set(p.js("return [...document.querySelectorAll('table.signals td.value:nth-child(4)')].map((n) => n.innerText)")),
                         {"write-only"})
        self.assertFalse(p.button("DET0_RESET", "Read").is_enabled())
        self.assertTrue(p.find("#word-now").text.startswith("write-only"))

        # Messages lie over the page: the layout does not move.
        top = p.js("return document.getElementById('layout').getBoundingClientRect().top")
        p.find("#defaults").click()
        p.until(lambda: p.toasts(), "a message")
        self.assertEqual(p.js("return document.getElementById('layout').getBoundingClientRect().top"), top)
        p.find("#toasts .close").click()

        # Deep links to names the device lacks say so.
        b.get(self.url + "/#/NO_SUCH_REGISTER")
        p.until(lambda: 'no register named "NO_SUCH_REGISTER"' in p.find("#view").text, "an unknown register is named")
        self.assertFalse(p.finds("#tree a[aria-current]"))
        p.clear_toasts()
        b.get(self.url + "/#/AUD_CNTRL0/NO_SUCH_SIGNAL")
        p.until(lambda: any("AUD_CNTRL0 has no signal NO_SUCH_SIGNAL" in t for _, t in p.toasts()), "an unknown signal is named")

        # A token and a signal in one address: the token is the token alone.
        p.js("sessionStorage.clear()")
        b.get("about:blank")
        b.get(self.url + "/#token=" + TOKEN + "/AUD_CNTRL0/TRIG_SEL")
        p.until(lambda: p.heading() == "AUD_CNTRL0" and p.read(), "the register opened")
        self.assertEqual(p.js("return sessionStorage.getItem('zevToken')"), TOKEN)
        self.assertEqual(p.active(), "edit-TRIG_SEL")
        self.assertEqual(b.current_url, self.url + "/#/AUD_CNTRL0/TRIG_SEL")

    def test_08_memories(self):
        p = self.page
        p.open("/SWP_DATA_RAM")
        # A page reads its 64 words, not the memory's 49,152: counted on the event stream.
        transfers = []
        for _ in range(5):    # (streams of pages gone are dropped at the server's next heartbeat)
            stream = http.client.HTTPConnection(self.url.split("//")[1])
            stream.request("GET", "/api/v1/events", headers={"Authorization": "Bearer " + TOKEN})
            sock = stream.sock
            answer = stream.getresponse()
            if answer.status != 503:
                break
            stream.close()
            time.sleep(1)
        if answer.status != 200:
            self.fail("the event stream: %d %s" % (answer.status, answer.read(200)))

        def count():
            try:
                for line in answer:
                    if line.startswith(b"event: transfer"):
                        transfers.append(line)
            except (OSError, ValueError, http.client.HTTPException):
                pass
        listener = threading.Thread(target=count, daemon=True)
        listener.start()
        time.sleep(0.3)
        p.find("#page-next").click()
        p.until(lambda: p.find("#words-title").text.startswith("Words 64 to 127 of 49152"), "the next page")
        p.until(lambda: len(transfers) > 0, "the page's transfers on the stream")
        seen = -1
        while seen != len(transfers):      # until no more come
            seen = len(transfers)
            time.sleep(0.5)
        sock.shutdown(socket.SHUT_RDWR)
        stream.close()
        self.assertLessEqual(len(transfers), 64 * 8, "one page's transfers, not the whole memory's")
        # Each row with its word index and bus address.
        first = p.finds("#memory-words tr")[0]
        self.assertEqual([c.text for c in first.find_elements(By.CSS_SELECTOR, "th, td")[:2]], ["64", "0x10040"])

        p.go("ENT_H1")
        Select(p.find("#radix")).select_by_value("hex")
        start = p.find("#mem-start")
        start.clear()
        start.send_keys("2")
        p.find("#mem-words").send_keys("AB CD")
        p.find("#mem-write").click()
        p.until(lambda: p.message("#mem-message") == ("ok", "written"), "the range is written")
        self.assertEqual(p.texts("#memory-words td.word")[:4], ["00000000", "00000000", "000000AB", "000000CD"])
        self.assertEqual(self.api("POST", "words", {"register": "ENT_H1", "start": 2, "count": 2})["words"], [0xAB, 0xCD])
        Select(p.find("#radix")).select_by_value("dec")
        p.until(lambda: p.texts("#memory-words td.word")[2:4] == ["171", "205"], "words in decimal")
        self.assertIn("(decimal)", p.find("#words-title").text)
        p.shot("console-memory.png")

        # Fill, export, import.
        for field, value in (("#fill-start", "1"), ("#fill-count", "5"), ("#fill-word", "7")):
            p.find(field).clear()
            p.find(field).send_keys(value)
        p.find("#mem-fill").click()
        p.until(lambda: p.message("#fill-message") == ("ok", "5 words filled"), "filled")
        self.assertEqual(self.api("POST", "words", {"register": "ENT_H1"})["words"], [0, 7, 7, 7, 7, 7, 0])
        for field, value in (("#export-start", "1"), ("#export-count", "3")):
            p.find(field).clear()
            p.find(field).send_keys(value)
        before = self.downloads()
        p.find("#mem-export").click()
        self.assertEqual(self.downloaded(r"ENT_H1_1_3.*\.txt", before),
                         "# ENT_H1 from word 1, 3 words, hexadecimal\n00000007 00000007 00000007\n")
        words_file = os.path.join(WORK, "words.txt")
        with open(words_file, "w") as f:
            f.write("# ENT_H1 from word 4, 2 words, hexadecimal\n0000BEEF 0000CAFE\n")
        p.find("#mem-import").send_keys(words_file)
        p.until(lambda: p.message("#file-message")[0] == "ok", "imported")
        self.assertEqual(self.api("POST", "words", {"register": "ENT_H1"})["words"], [0, 7, 7, 7, 0xBEEF, 0xCAFE, 0])
        # The memory is the service's until unlocked: Unlock memory hands it back.
        self.assertEqual(self.api("POST", "state", {"register": "ENT_H1"})["lock"], "LOCKED")
        p.find("#unlock-memory").click()
        p.until(lambda: self.api("POST", "state", {"register": "ENT_H1"})["lock"] == "UNLOCKED", "the memory unlocked")
        p.until(lambda: p.find("#lock-state").text == "UNLOCKED", "the page shows it")

    def highlighted(self, within="#tree"):
        """The texts the search highlight paints within an element."""
        return self.page.js("""const h = CSS.highlights.get('search'); const box = document.querySelector(arguments[0]);
            return h ? [...h].filter((r) => box.contains(r.startContainer))
                .map((r) => r.startContainer.data.slice(r.startOffset, r.endOffset).toLowerCase()) : []""", within)

    def test_09_search(self):
        p = self.page
        p.open("/AUD_CNTRL0")
        search = p.find("#search")

        def shown():
            return p.js("return [...document.querySelectorAll('#tree li > a')].filter((a) => a.offsetParent !== null)"
                        ".map((a) => a.firstChild.textContent)")
        search.send_keys("0E00")
        p.until(lambda: shown() == ["AUD_CNTRL0"], "an address finds its register")
        self.assertTrue(p.find('a[href="#/AUD_CNTRL0"]').get_attribute("class").find("by-address") >= 0)
        search.clear()
        search.send_keys("marker_sig")
        p.until(lambda: "TRIG_SEL" in shown(), "an enumerator finds its signal")
        self.assertEqual(set(self.highlighted()), {"marker_sig"})
        self.assertEqual(p.find("#tree details:not([hidden]) summary").text.split()[:4], ["AUD", "1", "of", "2"])
        search.clear()
        search.send_keys("mult_hp")
        p.until(lambda: p.js("return document.querySelector('#tree a[href=\"#/AUD_CNTRL0/MULT_HP\"]') !== null"), "MULT_HP listed")
        self.assertEqual(self.highlighted('#tree a[href="#/AUD_CNTRL0/MULT_HP"]'), ["mult_hp"])
        self.assertEqual(self.highlighted('#tree a[href="#/AUD_CNTRL0"]'), [], "no MULT_HP in the register's name")
        # "The registers the search shows" saves those registers, not the signals listed under them.
        search.clear()
        search.send_keys("trig_sel")
        p.until(lambda: p.finds('#tree a[href="#/AUD_CNTRL0/TRIG_SEL"]'), "TRIG_SEL listed")
        registers = p.js("return [...document.querySelectorAll('#tree > details:not([hidden]) > ul > li:not([hidden]) > a')]"
                         ".map((a) => a.getAttribute('href').slice(2))")
        self.assertIn("AUD_CNTRL0", registers)
        p.find("#save-set").click()
        p.find('input[name="set-scope"][value="shown"]').click()
        before = self.downloads()
        p.find("#save-confirm").click()
        saved = json.loads(self.downloaded(r"zev-set-.*\.json", before))
        self.assertEqual(sorted(r["name"] for r in saved["registers"]), sorted(registers))
        # Cleared, the open register's block stays open.
        search.send_keys(Keys.ESCAPE)
        p.until(lambda: p.js("return document.querySelector('#tree a[href=\"#/AUD_CNTRL0\"]').offsetParent !== null"),
                "the open register stays in sight")
        self.assertEqual(p.js("return [...document.querySelectorAll('#tree details[open] summary')].map((s) => s.firstChild.textContent)"),
                         ["AUD"])

    # ---- what a register workbench offers ----
    def test_10_register_sets(self):
        p, b = self.page, self.browser
        p.open("/AUD_CNTRL0")
        # Saved from the console, the set is byte for byte what zevctl saves.
        p.find("#save-set").click()
        p.find('input[name="set-scope"][value="all"]').click()
        before = self.downloads()
        p.find("#save-confirm").click()
        saved = self.downloaded(r"zev-set-.*\.json", before)
        zevctl_file = os.path.join(WORK, "zevctl-set.json")
        subprocess.run([ZEVCTL, "--connect", self.url, "--token-file", TOKEN_FILE, "save", zevctl_file],
                       check=True, capture_output=True)
        with open(zevctl_file) as f:
            self.assertEqual(saved, f.read())
        self.assertEqual(json.loads(saved)["format"], "rl_zev register set 1")
        set_file = os.path.join(WORK, "console-set.json")
        with open(set_file, "w") as f:
            f.write(saved)

        # Loaded against a changed device: every differing field marked in the tree, the
        # register and the Set panel.
        self.api("POST", "write", {"register": "AUD_CNTRL0", "signal": "MULT_HP", "values": ["9/d"]})
        self.api("POST", "write", {"register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "values": ["33/d"]})
        p.find("#set-file").send_keys(set_file)
        p.until(lambda: len(p.finds("#set-list input[type=checkbox]")) == 2, "two differences listed")
        self.assertEqual(p.find("#tab-set").get_attribute("aria-selected"), "true")
        badge = "return document.querySelector(arguments[0]).textContent"
        self.assertEqual(p.js(badge, '#tree a[href="#/AUD_CNTRL0"] .diff-count'), "≠1")
        self.assertEqual(p.js(badge, '#tree a[href="#/DIN_CNTRL0"] .diff-count'), "≠1")
        p.find("#read-register").click()
        p.until(lambda: p.js("return [...document.querySelectorAll('tr.differs')].map((r) => r.dataset.signal)") == ["MULT_HP"],
                "the differing field marked in the register")
        self.assertEqual(p.cell("MULT_HP", "value"), "9\nset: 00000000/h")
        p.shot("console-1400.png")

        # Apply a selection: that field alone goes back.
        p.find('#set-list input[data-register="AUD_CNTRL0"][data-signal="MULT_HP"]').click()
        p.find("#apply-selected").click()
        p.until(lambda: len(p.finds("#set-list input[type=checkbox]")) == 1, "one difference left")
        self.assertEqual(self.field("AUD_CNTRL0", "MULT_HP"), "00000000/h")
        self.assertEqual(self.field("DIN_CNTRL0", "FIFOLEVEL"), "00000021/h")
        self.assertFalse(p.finds('#tree a[href="#/AUD_CNTRL0"] .diff-count'))
        p.until(lambda: p.cell("MULT_HP", "value") == "0", "the register re-read")
        # Apply all.
        p.find("#apply-all").click()
        p.until(lambda: not p.finds("#set-list input[type=checkbox]"), "nothing differs")
        din = [r for r in json.loads(saved)["registers"] if r["name"] == "DIN_CNTRL0"][0]
        self.assertEqual(self.field("DIN_CNTRL0", "FIFOLEVEL"), din["signals"]["FIFOLEVEL"])
        self.assertEqual(self.api("POST", "sets/compare", {"set": json.loads(saved)})["differences"], [])

        # The device against its defaults, the same way.
        p.find("#close-set").click()
        self.api("POST", "write", {"register": "AUD_CNTRL0", "signal": "SHIFT_HP", "values": ["5/d"]})
        p.find("#compare-defaults").click()
        p.until(lambda: p.finds('#set-list input[data-register="AUD_CNTRL0"][data-signal="SHIFT_HP"]'), "SHIFT_HP differs")
        self.assertIn("SHIFT_HP: device 00000005/h, default 00000000/h",
                      p.js("return document.querySelector('#set-list input[data-signal=\"SHIFT_HP\"]').parentElement.innerText"))
        p.find('#set-list input[data-register="AUD_CNTRL0"][data-signal="SHIFT_HP"]').click()
        p.find("#apply-selected").click()
        p.until(lambda: not p.finds('#set-list input[data-signal="SHIFT_HP"]'), "SHIFT_HP back at its default")
        self.assertEqual(self.field("AUD_CNTRL0", "SHIFT_HP"), "00000000/h")
        p.find("#close-set").click()
        self.assertFalse(p.finds("#tree .diff-count"))

        # zevctl applies the console's file (one format).
        self.api("POST", "write", {"register": "AUD_CNTRL0", "signal": "MULT_DE", "values": ["4/d"]})
        applied = subprocess.run([ZEVCTL, "--connect", self.url, "--token-file", TOKEN_FILE, "apply", set_file, "AUD_CNTRL0"],
                                 capture_output=True, text=True)
        self.assertEqual(applied.returncode, 0, applied.stderr)
        self.assertEqual(self.field("AUD_CNTRL0", "MULT_DE"), "00000000/h")

    def test_11_whole_word_clickable_bits_and_history(self):
        p = self.page
        p.open("/AUD_CNTRL0")
        raw = p.find("#raw-word")
        raw.send_keys("XYZ", Keys.ENTER)
        p.until(lambda: p.message("#raw-message")[0] == "error", "a word that is not hexadecimal refused")
        self.assertIn("not sent", p.message("#raw-message")[1])
        raw.clear()
        raw.send_keys("123", Keys.ENTER)
        p.until(lambda: p.find("#word-now").text == "0x000123", "the word written and read back")
        self.assertEqual(self.api("POST", "read", {"register": "AUD_CNTRL0"})["values"], ["00000123/h"])
        self.assertEqual(p.cell("TRIG_SEL", "value"), "MARKER_SIG_3 (3)")
        self.assertEqual(p.cell("MULT_HP", "value"), "36")
        # A click on bit 0 writes TRIG_SEL with that bit changed.
        p.find('button.bit[data-bit="0"]').click()
        p.until(lambda: p.cell("TRIG_SEL", "value") == "MARKER_SIG_2 (2)", "the bit written")
        self.assertEqual(self.field("AUD_CNTRL0", "TRIG_SEL"), "MARKER_SIG_2")
        self.assertEqual(p.find('button.bit[data-bit="0"]').text, "0")
        # The session's writes, newest first, each undoable.
        p.find("#tab-history").click()
        rows = [[td.text for td in tr.find_elements(By.CSS_SELECTOR, "td")][1:5] for tr in p.finds("#history tbody tr")]
        self.assertEqual(rows[:2], [["AUD_CNTRL0", "TRIG_SEL", "MARKER_SIG_3 (3)", "MARKER_SIG_2 (2)"],
                                    ["AUD_CNTRL0", "(whole word)", "0x000000", "0x000123"]])
        p.find("#history tbody tr:first-child button").click()
        p.until(lambda: self.field("AUD_CNTRL0", "TRIG_SEL") == "MARKER_SIG_3", "the write undone")
        p.until(lambda: "undo of" in p.find("#history tbody tr:first-child").text, "the undo recorded")
        p.until(lambda: p.cell("TRIG_SEL", "value") == "MARKER_SIG_3 (3)", "the page re-read")
        self.assertFalse(p.find("#history tbody tr:nth-child(2) button").is_enabled(), "an undone write is done with")
        p.find("#tab-live").click()

    def test_12_accessibility(self):
        p = self.page
        p.open()
        results = {"landing": p.axe()}
        p.go("AUD_CNTRL0")
        p.write("MULT_HP", "3")
        p.until(lambda: p.message("MULT_HP")[0] == "ok", "written")
        results["register"] = p.axe()
        p.go("SWP_DATA_RAM")
        results["memory"] = p.axe()
        p.find("#compare-defaults").click()
        p.until(lambda: p.finds("#set-list input"), "differences listed")
        p.find("#tab-history").click()
        results["history and set"] = p.axe()
        p.find("#tab-set").click()
        p.find("#close-set").click()
        p.find("#tab-live").click()
        print("\naxe-core (%s): %s" % (", ".join(WCAG), ", ".join("%s %d" % (k, len(v)) for k, v in results.items())))
        self.assertEqual({k: v for k, v in results.items() if v}, {})

    # ---- other servers: gone, read-only, busy, refusing the token ----
    def test_20_a_server_gone_is_said(self):
        process, url = start_zevd(audit="gone.log")
        p = Page(self.browser, url)
        try:
            p.open("/AUD_CNTRL0")
        finally:
            stop(process)
        p.write("MULT_HP", "5")
        p.until(lambda: p.message("MULT_HP")[0] == "error", "the failed write is said beside the field")
        self.assertIn("did not answer", p.message("MULT_HP")[1])
        self.assertEqual(p.find("#connection").text, "Server unreachable")
        p.clear_toasts()
        p.find("#defaults").click()
        p.until(lambda: p.toasts(), "the failed SetToDefault is said")
        self.assertEqual(p.toasts()[0][0], "error")
        self.assertIn("SetToDefault: The server did not answer", p.toasts()[0][1])
        # A register opened meanwhile: the list and the view agree, and say it was not read.
        self.browser.get(url + "/#/DIN_CNTRL0")
        p.until(lambda: p.heading() == "DIN_CNTRL0", "the register's view")
        p.until(lambda: p.message("#register-message")[0] == "error", "not read, said")
        self.assertIn("did not answer", p.message("#register-message")[1])
        self.assertEqual([a.get_attribute("href").split("#")[1] for a in p.finds("#tree a[aria-current]")], ["/DIN_CNTRL0"])
        self.assertEqual(p.find("#read-at").text, "(not read)")

    def test_21_a_lost_answer_is_asked_again_and_a_restart_is_told_once(self):
        process, url = start_zevd(audit="lost.log")
        port = int(url.rsplit(":", 1)[1])
        lost = []

        def carry(client):
            # Each request on a connection of its own to zevd; the first write's answer is lost.
            with client:
                while True:
                    data = client.recv(65536)
                    head = data.split(b"\r\n\r\n")[0]
                    if not data or b"/api/v1/events" in head:
                        return
                    length = re.search(rb"(?i)content-length: *(\d+)", head)
                    while length and len(data) < len(head) + 4 + int(length.group(1)):
                        data += client.recv(65536)
                    with socket.create_connection(("127.0.0.1", port)) as server:
                        server.sendall(data.replace(b"Connection: keep-alive", b"Connection: close"))
                        answer = b"".join(iter(lambda: server.recv(65536), b""))
                    if data.startswith(b"POST /api/v1/batch ") and b'"op":"write"' in data and not lost:
                        lost.append(data)
                        return
                    client.sendall(answer)

        listener = socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=lambda: [threading.Thread(target=carry, args=(listener.accept()[0],), daemon=True).start()
                                         for _ in iter(int, 1)], daemon=True).start()
        p = Page(self.browser, "http://127.0.0.1:%d" % listener.getsockname()[1])
        try:
            p.open("/AUD_CNTRL0")
            p.write("MULT_HP", "5")
            p.until(lambda: p.message("MULT_HP")[0] == "ok", "the write is done, its lost answer asked for again")
            self.assertTrue(lost, "the proxy lost the first answer")
            self.assertEqual(self.field("AUD_CNTRL0", "MULT_HP", url), "00000005/h")
            with open(os.path.join(WORK, "lost.log")) as log:
                self.assertEqual(sum('"operation":"batch"' in line for line in log), 1, "carried out once")
            # zevd restarted on its port: the next write is refused once, saying so, and the one after works.
            stop(process)
            process, _ = start_zevd(audit="lost.log", listen="127.0.0.1:%d" % port)
            p.write("MULT_HP", "6")
            p.until(lambda: p.message("MULT_HP")[0] == "error", "the restart is said")
            self.assertIn("the server restarted", p.message("MULT_HP")[1])
            self.assertEqual(self.field("AUD_CNTRL0", "MULT_HP", url), "00000000/h", "nothing done")
            p.write("MULT_HP", "7")
            p.until(lambda: p.message("MULT_HP")[0] == "ok", "the next write goes to the new run")
        finally:
            stop(process)
            listener.close()

    def test_21b_read_only_server(self):
        process, url = start_zevd("--read-only", audit="read-only.log")
        try:
            p = Page(self.browser, url)
            p.open("/AUD_CNTRL0")
            self.assertIn("read-only", p.find("#readonly").text)
            for control in ("#edit-TRIG_SEL", "#defaults", "#raw-word", "#lock-all"):
                self.assertFalse(p.find(control).is_enabled(), control)
            self.assertFalse(p.finds("button.bit"))
            self.assertIn("read-only", p.button("TRIG_SEL", "Write").get_attribute("title"))
            self.assertLessEqual(p.js("return document.documentElement.scrollHeight"), 900, "the page fits the window")
            p.find("#compare-defaults").click()
            p.until(lambda: p.finds("#apply-all"), "a read-only server compares")
            self.assertFalse(p.find("#apply-all").is_enabled())
            p.shot("console-read-only.png")
        finally:
            stop(process)

    def test_22_a_fifth_console_waits_for_the_live_stream(self):
        process, url = start_zevd(audit="fifth.log")
        streams = []
        try:
            for _ in range(4):
                stream = http.client.HTTPConnection(url.split("//")[1])
                stream.request("GET", "/api/v1/events", headers={"Authorization": "Bearer " + TOKEN})
                self.assertEqual(stream.getresponse().status, 200)
                streams.append(stream)
            p = Page(self.browser, url)
            p.open()
            p.until(lambda: "503" in p.find("#live-status").text, "the refusal is said")
            self.assertIn("trying again in 5 s", p.find("#live-status").text)
            streams.pop().close()
            p.until(lambda: p.js("return document.getElementById('live').dataset.streaming") == "true",
                    "the console tried again and streams", timeout=15)
            self.assertEqual(p.find("#live-status").text, "")
        finally:
            for stream in streams:
                stream.close()
            stop(process)

    def test_23_login_page_and_a_refused_token(self):
        p, b = self.page, self.browser
        b.get(self.url + "/")
        p.js("sessionStorage.clear()")
        b.get("about:blank")
        b.get(self.url + "/")
        p.until(lambda: p.find("#login").is_displayed(), "the login form")
        self.assertFalse(p.find("#defaults").is_displayed(), "no device actions without a token")
        self.assertFalse(p.find("#live").is_displayed())
        b.get(self.url + "/#token=wrong-token-0123456789abcdef")
        p.until(lambda: p.find("#connection").text == "Token refused", "the indicator says the token was refused")
        self.assertTrue(p.find("#login").is_displayed())
        p.find("#token").send_keys(TOKEN, Keys.ENTER)
        p.until(lambda: p.js("return document.body.dataset.ready") == "true", "the console with the right token")
        self.assertEqual(p.find("#connection").text, "Connected")

    def test_24_at_800_pixels(self):
        p = self.page
        size(self.browser, 800, 900)
        p.open("/AUD_CNTRL0")
        for register in ("AUD_CNTRL0", "PRI_OFFRES1", "PRI_CLKMASK", "DIN_CNTRL0", "SWP_DATA_RAM"):
            p.go(register)
            self.assertGreaterEqual(p.js("return document.getElementById('view').clientWidth"), 560)
            # (A memory's eight words a row scroll sideways in their own box here.)
            wide = overflowing(p, "view", ".memory-box")
            self.assertEqual((wide["scroll"], wide["wide"]), (0, []), register)
            self.assertLessEqual(p.js("return document.documentElement.scrollHeight"), 900)
        p.go("AUD_CNTRL0", "TRIG_SEL")
        p.write("TRIG_SEL", "MARKER_SIG_5")
        p.until(lambda: p.message("TRIG_SEL")[0] == "ok", "written at 800 px")
        p.shot("console-800.png")

    def test_30_static_reference_opens_from_disk(self):
        folder = os.path.join(BUILD, "reference")
        subprocess.run([ZEVD, "--export-reference", folder], check=True, stdout=subprocess.DEVNULL)
        p, b = self.page, self.browser
        b.get("file://" + os.path.abspath(folder) + "/index.html#/AUD_CNTRL0")
        p.until(lambda: p.js("return document.body.dataset.ready") == "true", "the reference loaded")
        p.until(lambda: p.heading() == "AUD_CNTRL0", "the register page opened")
        self.assertEqual(p.find("#title").text, "ZEV register reference")
        self.assertIn("3 MARKER_SIG_3", p.js("return document.querySelector('tr[data-signal=\"TRIG_SEL\"] td:nth-child(4)').innerText"))
        self.assertEqual(p.js("return document.querySelector('tr[data-signal=\"MULT_HP\"] td:nth-child(3)').innerText"), "0")
        self.assertIn("CSequentialRead_ParallelWrite", p.find("table.props").text)
        self.assertFalse(p.find("#actions").is_displayed(), "no device actions without a device")
        self.assertEqual(overflowing(p)["count"], 0)
        p.shot("reference.png")
        violations = p.axe()
        print("\naxe-core on the static reference: %d violations" % len(violations))
        self.assertEqual(violations, [])

    # ---- timings: three fresh browsers, each with its baseline in the same load ----
    def test_40_timings(self):
        runs = []
        for _ in range(3):
            browser = new_browser()
            try:
                p = Page(browser, self.url)
                p.open()
                run = {"ready_ms": p.js("return window.zevTimings.ready"),
                       # baselines: the page and its scripts parsed, before any request; one
                       # request's round trip from the page
                       "parsed_ms": p.js("return performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd"),
                       "round_trip_ms": browser.execute_async_script(
                           "const done = arguments[arguments.length - 1]; const t = performance.now();"
                           "window.ZEV.call('GET', 'device').then(() => done(performance.now() - t));")}
                search = p.find("#search")
                for key in "TRIG_SEL":
                    search.send_keys(key)
                    time.sleep(0.05)
                p.until(lambda: len(p.js("return window.zevTimings.filter")) == 8, "every keystroke filtered")
                run["search_key_ms"] = max(p.js("return window.zevTimings.filter"))
                search.send_keys(Keys.ESCAPE)
                p.go("PRI_CLKMASK")
                p.until(lambda: p.js("return window.zevTimings.open.length") == 1, "the open timed")
                run["open_32_signals_ms"] = p.js("return window.zevTimings.open[0].ms")
                run["open_built_ms"] = p.js("return window.zevTimings.open[0].built")
                run["open_shown_ms"] = p.js("return window.zevTimings.open[0].shown")
                p.go("SWP_DATA_RAM")
                p.find("#page-next").click()
                p.until(lambda: p.js("return window.zevTimings.page.length") == 2, "the page timed")
                run["memory_page_ms"] = p.js("return window.zevTimings.page[1].ms")
                runs.append(run)
            finally:
                browser.quit()
        medians = {key: statistics.median(run[key] for run in runs) for key in runs[0]}
        with open(os.path.join(BUILD, "console-timings.json"), "w") as f:
            json.dump({"runs": runs, "medians": medians}, f, indent=1)
        print("\nconsole, medians of 3 fresh browsers (ms): " + ", ".join("%s %.1f" % kv for kv in medians.items()))


if __name__ == "__main__":
    if not os.path.exists(AXE) and os.environ.get("CI"):
        sys.exit("console_browser.py: axe-core is missing (%s): tools/install-deps.sh installs it" % AXE)
    # (Test names after the three arguments run those alone.)
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
