#!/usr/bin/env python3
"""The console in a real browser: headless chromium through chromedriver drives service
sessions on running zevd processes, checks the device through the API after each step,
checks every page with axe-core, opens the static reference from disk, and leaves
screenshots in the build folder (bench/console_timings.py times the console with its Page).

console_browser.py ZEVD ZEVCTL BUILD_DIR [Console.test_NAME ...]
"""
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
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
AXE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tools/node/node_modules/axe-core/axe.min.js")
WCAG = ["wcag2a", "wcag2aa", "wcag21aa", "wcag22aa"]
# (pane, box) => a pane's elements past its right edge, but those in a box that scrolls on its own.
WIDE = """(pane, box) => { const right = pane.getBoundingClientRect().left + pane.clientWidth + 0.5;
    return [...pane.querySelectorAll('*')].filter((n) => n.getClientRects().length &&
        !(box && n.parentElement.closest(box)) && n.getBoundingClientRect().right > right)
        .map((n) => n.tagName + (n.id ? '#' + n.id : '') + '.' + n.className); }"""


def start_zevd(*extra, audit="audit.log", listen="127.0.0.1:0"):
    with open(TOKEN_FILE, "w") as f:
        f.write(TOKEN)
    process = subprocess.Popen([ZEVD, "--listen", listen, "--token-file", TOKEN_FILE,
                                "--audit-log", os.path.join(WORK, audit)] + list(extra),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return process, re.search(r"listening on (http://\S+)", process.stdout.readline()).group(1)


def stop(process):
    process.stdout.close()
    process.terminate()       # (nothing to do for one stopped before)
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


class Page:
    """One browser on one zevd, with what the tests ask of the page."""

    def __init__(self, browser, url):
        self.b, self.url = browser, url

    def js(self, script, *args):
        return self.b.execute_script(script, *args)

    def until(self, condition, what, timeout=10):
        # The page re-renders parts after every answer: an element found a moment ago may be gone.
        return WebDriverWait(self.b, timeout, ignored_exceptions=(StaleElementReferenceException,)).until(
            lambda _: condition(), message=what)

    def expect(self, get, want, what, timeout=10):
        """Waits until get() answers want (or, want a function, an answer it accepts) and answers
        that; else fails with what it answered last."""
        seen, accepts = [None], want if callable(want) else (lambda got: got == want)
        try:
            self.until(lambda: seen.append(get()) or accepts(seen[-1]), what, timeout)
        except TimeoutException:
            wanted = "one accepted" if callable(want) else repr(want)
            raise AssertionError("%s: %r, not %s" % (what, seen[-1], wanted)) from None
        return seen[-1]

    def find(self, css):
        return self.b.find_element(By.CSS_SELECTOR, css)

    def finds(self, css):
        return self.b.find_elements(By.CSS_SELECTOR, css)

    def text(self, css):
        return self.find(css).text

    def click(self, *selectors):
        for css in selectors:
            self.find(css).click()
        return self

    def type(self, css, *keys):
        self.find(css).clear()
        self.find(css).send_keys(*keys)

    def fill(self, **fields):
        for name, value in fields.items():
            self.type("#" + name.replace("_", "-"), value)
        return self

    def open(self, route=""):
        self.b.get("about:blank")      # a fresh page, not a new address in the same one
        self.b.get(self.url + "/#token=" + TOKEN + route)
        self.until(lambda: self.js("return document.body.dataset.ready") == "true", "the console became ready")
        if route:
            self.opened(route.split("/")[1])
        return self

    def go(self, register, signal=None):
        self.b.get(self.url + "/#/" + register + ("/" + signal if signal else ""))
        self.opened(register)

    def opened(self, register):
        # The register's "Last read" holds a time once the device answered (or, once its lock states came, write-only).
        self.until(lambda: self.heading() == register and re.match(r"\d\d:\d\d:\d\d|write-only", self.js(
            "const n = document.getElementById('read-at'); return n ? n.textContent : ''") or ""), "%s read" % register)

    def streaming(self):
        return self.js("return document.getElementById('live').dataset.streaming") == "true"

    def heading(self):
        return self.js("const h = document.querySelector('#view h2'); return h ? h.textContent : null")

    def shown(self):
        """The names the tree shows (registers, and signals found beneath them)."""
        return self.js("return [...document.querySelectorAll('#tree li > a')].filter((a) => a.offsetParent !== null)"
                       ".map((a) => a.firstChild.textContent)")

    def cell(self, signal, column="value"):
        return self.js("const r = document.querySelector('tr[data-signal=\"' + arguments[0] + '\"]');"
                       "return r.querySelector(arguments[1]).innerText", signal,
                       {"value": "td:nth-child(4)", "lock": "td:nth-child(5)"}[column])

    def texts(self, css):
        return self.js("return [...document.querySelectorAll(arguments[0])].map((n) => n.textContent)", css)

    def rows(self, marked):
        """The signals of the rows marked so (a class)."""
        return self.js("return [...document.querySelectorAll('tr.%s')].map((r) => r.dataset.signal)" % marked)

    def logged(self, text):
        """Whether a line of the live panel holds text."""
        return any(text in line for line in self.texts("#events li"))

    def button(self, signal, text):
        return self.find('tr[data-signal="%s"]' % signal).find_element(By.XPATH, ".//button[text()='%s']" % text)

    def label(self, css):
        return self.find(css).find_element(By.XPATH, "..").text

    def message(self, selector):
        """(kind, text) of a message: a signal's (by name) or any element's (by #id)."""
        if not selector.startswith("#"):
            selector = 'tr[data-signal="%s"] .message' % selector
        return tuple(self.js("const n = document.querySelector(arguments[0]);"
                             "return [n.className.replace('message', '').trim(), n.innerText]", selector))

    def said(self, selector, kind, what, holding=""):
        """Waits for a message of that kind (holding a text) and answers its text."""
        return self.expect(lambda: self.message(selector), lambda m: m[0] == kind and holding in m[1], what)[1]

    def toasts(self):
        return [tuple(t) for t in self.js("return [...document.querySelectorAll('#toasts .toast')]"
                                          ".map((t) => [t.className.replace('toast', '').trim(), t.querySelector('.text').innerText])")]

    def clear_toasts(self):
        self.js("document.getElementById('toasts').replaceChildren()")

    def toast(self, css):
        """Clicks css and waits for the message it brings: its (kind, text)."""
        self.clear_toasts()
        return self.click(css).until(self.toasts, "a message after %s" % css)[0]

    def write(self, signal, value, then=None, holding=""):
        """Writes from a signal's editor; then, waits for a message of that kind and answers its text."""
        field = self.find("#edit-" + signal)
        if field.tag_name == "select":
            Select(field).select_by_value(value)
            self.button(signal, "Write").click()
        else:
            self.type("#edit-" + signal, value, Keys.ENTER)
        return then and self.said(signal, then, "%s = %s: %s" % (signal, value, then), holding)

    def write_words(self, start, words):
        """Writes words from a memory's form, its last message cleared first."""
        self.js("const m = document.getElementById('mem-message'); m.className = 'message'; m.textContent = ''")
        self.fill(mem_start=start, mem_words=words).click("#mem-write")

    def radix(self, mode):
        Select(self.find("#radix")).select_by_value(mode)

    def active(self):
        return self.js("const a = document.activeElement; return a.id || a.tagName + ':' + a.textContent")

    def history(self):
        """The History's rows, newest first: register (or set), signal, before, after."""
        return [[td.text for td in tr.find_elements(By.CSS_SELECTOR, "td")][1:5]
                for tr in self.finds("#history tbody tr")]

    def axe(self):
        if not os.path.exists(AXE):
            raise AssertionError("axe-core is missing (%s): run tools/install-deps.sh" % AXE)
        if not self.js("return !!window.axe"):
            with open(AXE) as f:
                self.js(f.read())
        return self.b.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {runOnly: {type: 'tag', values: arguments[0]}}).then("
            "(r) => done(r.violations.map((v) => [v.id, v.help, v.nodes.slice(0, 3).map((n) => n.target.join(' '))])),"
            "(e) => done([['axe failed', String(e), []]]))", WCAG)

    def shot(self, name):
        self.b.save_screenshot(os.path.join(SHOTS, name))

    def overflowing(self, pane="view", scrolling_box=None):
        """A pane's elements past its right edge (but those in a box that scrolls on its own), and its own overflow."""
        return self.js("const pane = document.getElementById(arguments[0]); return {scroll: pane.scrollWidth - "
                       "pane.clientWidth, wide: (%s)(pane, arguments[1]).slice(0, 5)};" % WIDE, pane, scrolling_box)


class Console(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(SHOTS, exist_ok=True)
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

    def other_zevd(self, audit, *extra, listen="127.0.0.1:0"):
        """A zevd of the test's own, stopped after it: the process, its address and a page on it."""
        process, url = start_zevd(*extra, audit=audit, listen=listen)
        self.addCleanup(stop, process)
        return process, url, Page(self.browser, url)

    def api(self, method, path, body=None, url=None):
        request = urllib.request.Request((url or self.url) + "/api/v1/" + path, method=method,
                                         data=None if body is None else json.dumps(body).encode(),
                                         headers={"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request) as answer:
                return json.loads(answer.read())
        except urllib.error.HTTPError as error:
            return json.loads(error.read())

    def audited(self, log="audit.log", operation=""):
        with open(os.path.join(WORK, log)) as f:
            return sum('"operation":"%s' % operation in line for line in f)

    def field(self, register, signal, url=None):
        return self.api("POST", "read", {"register": register, "signal": signal}, url=url)["values"][0]

    def write(self, register, signal, value):
        """A write behind the page's back."""
        self.api("POST", "write", {"register": register, "signal": signal, "values": ["%d/d" % value]})

    def words(self, register="ENT_H1", **part):
        return self.api("POST", "words", dict(register=register, **part))["words"]

    def put_words(self, start, words):
        """Words of ENT_H1 written behind the page's back."""
        self.api("POST", "writeWords", {"register": "ENT_H1", "start": start, "words": words})

    def downloaded(self, css, pattern):
        """Clicks css and answers the file it downloads (into an emptied folder: a name stamped
        to the second is the same for two saves in one second)."""
        shutil.rmtree(DOWNLOADS, ignore_errors=True)
        os.makedirs(DOWNLOADS)
        self.page.click(css)

        def done():
            names = [n for n in os.listdir(DOWNLOADS) if re.fullmatch(pattern, n)]
            return names and os.path.getsize(os.path.join(DOWNLOADS, names[0])) and names[0]
        # (Headless chromium finishes a download only while the driver talks to it.)
        name = self.page.until(lambda: self.browser.title and done(), "a file %s downloaded" % pattern)
        with open(os.path.join(DOWNLOADS, name)) as f:
            return f.read()

    def zevctl(self, *args):
        return subprocess.run([ZEVCTL, "--connect", self.url, "--token-file", TOKEN_FILE, *args],
                              capture_output=True, text=True, check=True).stdout

    def assertNoWrites(self, p, signal, controls, why):
        """The write controls are disabled, the bits not clickable, and the signal's Write says why."""
        for control in controls:
            self.assertFalse(p.find(control).is_enabled(), control)
        self.assertFalse(p.button(signal, "Write").is_enabled() or p.finds("button.bit"), "a write control offered")
        self.assertIn(why, p.button(signal, "Write").get_attribute("title"))

    # ---- the happy path, as the README describes it ----
    def test_01_a_service_session(self):
        p, b = self.page.open(), self.browser
        self.assertEqual((len(p.finds("#tree > details > ul > li > a")), p.text("#connection")), (441, "Connected"))
        self.assertNotIn("token", b.current_url, "the token leaves the address bar")
        # A busy machine's start: one document (no style or script fetched beside it), the map asked for first.
        fetched = p.js("return performance.getEntriesByType('resource').map((e) => [new URL(e.name).pathname, e.startTime])")
        self.assertEqual([path for path, _ in fetched if not path.startswith("/api/")], [])
        self.assertLess(dict(fetched)["/api/v1/map"], p.js("return window.zevTimings.scripts"))

        # Search as you type: registers by name, and registers by their signals' names, those signals beneath them.
        type_slowly(p.find("#search"), "TRIG_SEL")
        shown = p.shown()
        self.assertTrue({"AUD_CNTRL0", "TRIG_SEL"} <= set(shown) and "DIN_MS_DET_LOW" not in shown, shown)
        # The signal's link opens its register with the signal's editor in focus.
        p.click('a[href="#/AUD_CNTRL0/TRIG_SEL"]').opened("AUD_CNTRL0")
        self.assertEqual(p.texts(".bits .bit-number"), [str(n) for n in range(23, -1, -1)])
        self.assertIn("TRIG_SEL", p.texts(".bits .field"))
        self.assertTrue(p.finds(".bits .field.free"), "bits no signal covers are shaded")
        self.assertEqual(p.active(), "edit-TRIG_SEL")

        # An enumerator written locks the signal, on the page and the device; Unlock brings the application's back.
        audited = self.audited()
        state = lambda: (p.cell("TRIG_SEL", "lock"), p.cell("TRIG_SEL"), self.field("AUD_CNTRL0", "TRIG_SEL"),  # noqa: E731
                         self.api("GET", "registers/AUD_CNTRL0")["signals"][0]["lock"])
        p.write("TRIG_SEL", "MARKER_SIG_3")
        p.expect(state, ("LOCKED", "MARKER_SIG_3 (3)", "MARKER_SIG_3", "LOCKED"), "written")
        self.assertEqual(p.message("TRIG_SEL"), ("ok", "written"))
        p.button("TRIG_SEL", "Unlock").click()
        p.expect(state, ("UNLOCKED", "MARKER_SIG_0 (0)", "MARKER_SIG_0", "UNLOCKED"), "unlocked")
        self.assertEqual(self.audited(), audited + 2)
        # Above the field's maximum: refused on the page, nothing sent.
        self.assertEqual(p.write("SHIFT_HP", "8", "error"),
                         "8 is above the maximum 7 (0x7): not sent (SHIFT_HP takes 0 to 7)")
        self.assertEqual(self.audited(), audited + 2, "no request reached the server")
        # A text in the library's own format that it refuses: its error and report, verbatim.
        error = re.escape("Invalid value(s) submitted: 5/x,"
                          "Wrong format specified (use /d for decimal or /h for hex values)")
        self.assertRegex(p.write("SHIFT_HP", "5/x", "error", "Invalid"),
                         r"(?m)\A%s\nSignalBase:\d+: CSignalBase::ServiceWrite: %s$" % (error, error))
        # The live panel saw the write's bus transfer; the snapshot download is the same script as zevctl's.
        p.until(lambda: p.logged("bus: W 0x00E00"), "the live panel shows the write")
        self.assertEqual(self.downloaded("#snapshot", r"ZEV_DUMP.*\.m"), self.zevctl("snapshot"))

    # ---- the faults of the first version, each reproduced ----
    def test_02_refusals_are_checked_before_sending_and_never_shown_as_success(self):
        p = self.page.open("/ENT_H1")
        p.radix("hex")
        audited, words = self.audited(), self.words()
        for bad in ("zz", "123456789", "1G"):
            p.write_words("0", bad)
            self.assertTrue(p.said("#mem-message", "error", "the page refused " + bad).endswith("not sent"), bad)
        self.assertEqual((self.audited(), self.words()), (audited, words), "nothing was sent")
        # What the access strategy forbids is disabled, and says why.
        p.go("PRI_SERVAL")
        self.assertNoWrites(p, "SERVAL", ("#edit-SERVAL", "#raw-word"), "read-only register")
        # A refused direction is a warning, never a success: SetToDefault meets the read-only registers.
        kind, text = p.toast("#defaults")
        self.assertTrue(kind == "warn" and "No write access allowed!" in text and "refused by the device" in text, text)

    def test_03_numbers_in_the_chosen_radix(self):
        p = self.page.open("/AUD_CNTRL0")
        p.radix("hex")
        self.assertEqual(p.find("#edit-MULT_HP").get_attribute("placeholder"), "0 to 0x3F")
        # 0x says hexadecimal whatever the mode; 10 typed in hexadecimal is 16.
        for mode, typed, written in (("dec", "0x2A", "0000002A/h"), ("hex", "10", "00000010/h")):
            p.radix(mode)
            p.write("MULT_HP", typed)
            p.expect(lambda: self.field("AUD_CNTRL0", "MULT_HP"), written, "%s typed in %s" % (typed, mode))
        for mode, shown in (("hex", "0x10"), ("bin", "0b010000"), ("dec", "16")):
            p.radix(mode)
            p.expect(lambda: p.cell("MULT_HP"), shown, "16 in " + mode)
        p.radix("hex")       # above the maximum in hexadecimal
        self.assertEqual(p.write("MULT_HP", "40", "error"),
                         "40 is above the maximum 63 (0x3F): not sent (MULT_HP takes 0 to 0x3F)")

    def test_04_layout_bits_at_a_fixed_scale_in_every_register(self):
        p, b = self.page.open("/PRI_OFFRES1"), self.browser
        # One-bit fields with long names: the picture stays within its pane, every bit drawn the same width.
        self.assertLessEqual(p.js("return document.querySelector('.bits').getBoundingClientRect().width"),
                             p.js("return document.getElementById('view').clientWidth"))
        widths = p.js("return [...document.querySelectorAll('.bits .bit')].map((n) => Math.round(n.getBoundingClientRect().width))")
        self.assertLessEqual(max(widths) - min(widths), 1, "every bit is drawn the same width")
        # Every register of the map, opened in turn: nothing wider than the middle pane, every editor on the screen.
        b.set_script_timeout(180)
        self.assertEqual(b.execute_async_script("""const done = arguments[arguments.length - 1];
            (async () => {
              const view = document.getElementById('view'), bad = [];
              let last = null;
              for (const register of window.ZEV.map.registers) {
                last = window.ZEV.openRegister(register, null);
                const wide = (%s)(view, null).length, off = [...view.querySelectorAll('input, select, button')]
                    .filter((n) => n.getBoundingClientRect().right > window.innerWidth).length;
                if (wide || off || view.scrollWidth > view.clientWidth)
                  bad.push(register.name + ': ' + wide + ' wide, ' + off + ' editors off-screen');
              }
              await last;
              return bad;
            })().then(done, (e) => done(['failed: ' + e]));""" % WIDE), [])

    def test_05_keyboard(self):
        p, b = self.page.open(), self.browser
        key = lambda *keys: b.switch_to.active_element.send_keys(*keys)  # noqa: E731
        focused = lambda what: p.js("const a = document.activeElement; return " + what)  # noqa: E731
        # On a fresh page the arrow keys go from the search box into the list and along it.
        p.find("#search").send_keys(Keys.ARROW_DOWN)
        self.assertTrue(p.active().startswith("SUMMARY:AUD"), p.active())
        key(Keys.ARROW_RIGHT)
        key(Keys.ARROW_DOWN)
        self.assertEqual(focused("a.getAttribute('href')"), "#/AUD_CNTRL0")
        key(Keys.ENTER)
        p.opened("AUD_CNTRL0")
        # After a write the focus stays in the editor; Tab goes on to its Write button.
        p.find("#edit-MULT_HP").send_keys("5", Keys.ENTER)
        p.said("MULT_HP", "ok", "the write answered")
        self.assertEqual((self.field("AUD_CNTRL0", "MULT_HP"), p.active()), ("00000005/h", "edit-MULT_HP"))
        key(Keys.TAB)
        self.assertEqual(focused("a.textContent + ' ' + a.closest('tr').dataset.signal"), "Write MULT_HP")
        # The bits are one stop of Tab: from the first, Tab leaves them; the arrows move along them.
        p.click("#read-register").until(lambda: p.find("button.bit").is_enabled(), "the bits read")
        second = p.finds("button.bit")[1].get_attribute("data-bit")
        p.find("button.bit").send_keys(Keys.ARROW_RIGHT)
        self.assertEqual(focused("a.dataset.bit"), second)
        key(Keys.TAB)
        self.assertFalse(focused("a.classList.contains('bit')"), p.active())
        # Search, arrow down to the first register found, Enter opens it.
        p.type("#search", "DIN_MS_DET", Keys.ARROW_DOWN)
        chosen = focused("a.firstChild.textContent")
        self.assertTrue(chosen.startswith("DIN_MS_DET"), chosen)
        key(Keys.ENTER)
        p.until(lambda: p.heading() == chosen, "Enter opened the register")

    def test_06_live_panel(self):
        p = self.page.open("/AUD_CNTRL0")
        p.until(p.streaming, "the live panel follows the event stream")
        p.click("#clear", "#defaults").until(lambda: p.finds("#events li.report"), "reports in the live panel")
        reports, times = p.texts("#events li.report"), p.texts("#events li .when")
        self.assertTrue(all(not r.split(" ", 2)[2].startswith("{") for r in reports), reports[:2])
        self.assertTrue(any("No write access allowed!" in r and r.split(" ")[2] == "refused" for r in reports), reports[:2])
        self.assertTrue(times and all(re.fullmatch(r"\d\d:\d\d:\d\d\.\d\d\d", t) for t in times), times[:3])
        # Long lines wrap inside the panel; the list scrolls under its header, never over it.
        self.assertEqual(p.overflowing("events-box")["wide"], [])
        self.assertEqual(p.js("""const box = document.getElementById('events-box');
            box.scrollTop = box.scrollHeight / 2;
            const r = document.getElementById('pause').getBoundingClientRect();
            return document.elementFromPoint(r.left + 3, r.top + 3).id"""), "pause")
        # Pause holds what comes, and counts it; Resume shows it.
        p.click("#pause")
        self.write("AUD_CNTRL0", "MULT_HP", 7)
        p.until(lambda: re.fullmatch(r"Resume \([1-9]\d* held\)", p.text("#pause")), "events held while paused")
        self.assertFalse(p.logged("bus: W 0x00E00 3 0x00000038"))
        self.assertEqual(p.click("#pause").text("#pause"), "Pause")
        p.until(lambda: p.logged("bus: W 0x00E00 3 0x00000038"), "the held write shown after Resume")

    def test_07_state_is_read_on_demand_and_said_clearly(self):
        p, b = self.page.open("/AUD_CNTRL0"), self.browser
        # Read on demand, the register's or one field's: the device changed behind the page's back.
        self.write("AUD_CNTRL0", "MULT_HP", 9)
        self.assertEqual(p.cell("MULT_HP"), "0")
        p.click("#read-register")
        p.expect(lambda: (p.cell("MULT_HP"), p.rows("changed")), ("9", ["MULT_HP"]), "Read shows the device's value")
        self.assertEqual(len(p.finds(".bits .bit.changed")), 2, "9 = 0b1001: two bits changed")
        self.write("AUD_CNTRL0", "SHIFT_HP", 3)
        p.button("SHIFT_HP", "Read").click()
        p.expect(lambda: (p.cell("SHIFT_HP"), p.rows("changed")), ("3", ["SHIFT_HP"]), "the field's Read shows its value")
        # The register's lock state counts its fields.
        p.until(lambda: "2 of 5 fields" in p.text("#lock-state"), "two fields held by the service")
        p.click("#lock-all").until(lambda: "5 of 5 fields" in p.text("#lock-state"), "every field locked")

        # Reading every second goes on while an editor has focus (a deep link puts it there), leaving what is typed.
        p.toast("#unlock-all")
        p.clear_toasts()      # (a message would lie over the editor)
        p.go("AUD_CNTRL0", "SHIFT_DE")
        self.assertEqual(p.active(), "edit-SHIFT_DE")
        b.switch_to.active_element.send_keys("2")
        p.fill(auto_seconds="1").click("#auto", "#edit-SHIFT_DE")
        self.write("AUD_CNTRL0", "MULT_DE", 5)
        p.until(lambda: p.cell("MULT_DE") == "5", "the automatic read shows the new value", timeout=6)
        self.assertEqual((p.active(), p.find("#edit-SHIFT_DE").get_attribute("value")), ("edit-SHIFT_DE", "2"))
        p.click("#auto")

        # A write-only register says so instead of values.
        p.go("DET_RESET")
        self.assertEqual(set(p.texts("table.signals td.value:nth-child(4)")), {"write-only"})
        self.assertFalse(p.button("DET0_RESET", "Read").is_enabled())
        self.assertTrue(p.text("#word-now").startswith("write-only"))
        # Messages lie over the page: the layout does not move.
        top = "return document.getElementById('layout').getBoundingClientRect().top"
        before = p.js(top)
        p.toast("#defaults")
        self.assertEqual(p.js(top), before)

        # Deep links to names the device lacks say so.
        b.get(self.url + "/#/NO_SUCH_REGISTER")
        p.until(lambda: 'no register named "NO_SUCH_REGISTER"' in p.text("#view"), "an unknown register is named")
        self.assertFalse(p.finds("#tree a[aria-current]"))
        p.clear_toasts()
        b.get(self.url + "/#/AUD_CNTRL0/NO_SUCH_SIGNAL")
        p.until(lambda: any("AUD_CNTRL0 has no signal NO_SUCH_SIGNAL" in t for _, t in p.toasts()), "an unknown signal is named")
        # A token and a signal in one address: the token is the token alone.
        p.js("sessionStorage.clear()")
        p.open("/AUD_CNTRL0/TRIG_SEL")
        self.assertEqual((p.js("return sessionStorage.getItem('zevToken')"), p.active(), b.current_url),
                         (TOKEN, "edit-TRIG_SEL", self.url + "/#/AUD_CNTRL0/TRIG_SEL"))

    def test_08_memories(self):
        p = self.page.open("/SWP_DATA_RAM")
        # A page reads its 64 words, not the memory's 49,152: seen while the live panel holds the events.
        p.until(p.streaming, "the live panel follows the event stream")
        p.click("#pause", "#page-next")
        p.until(lambda: p.text("#words-title").startswith("Words 64 to 127 of 49152"), "the next page")
        held = lambda: int(re.search(r"\d+", p.text("#pause")).group(0))  # noqa: E731
        p.until(lambda: held() > 0, "the page's transfers held")
        count = -1
        while count != held():      # until no more come
            count = held()
            time.sleep(0.5)
        p.click("#pause")
        # One page's words, read back one by one: one line, not six a word.
        self.assertEqual(count, 1, "the page's words read back in one line")
        p.until(lambda: p.logged("bus: R 0x10040 64 words -> "), "the page's read in the live panel")
        # Each row with its word index and bus address.
        self.assertEqual(p.texts("#memory-words tr:first-child > *")[:2], ["64", "0x10040"])

        # The whole of the largest memory filled, in as many requests as the limits need; Cancel
        # stops before the next one and says how far it came.
        p.fill(fill_start="0", fill_count="49152", fill_word="5").click("#mem-fill")
        p.expect(lambda: p.message("#fill-message"), ("ok", "49152 words filled"), "the memory filled", timeout=60)
        self.assertEqual(set(self.words("SWP_DATA_RAM")), {5})
        # Small parts (256 words: each counts twice, its read-back for the history): 192 of
        # them, so the write is still under way when Cancel comes, however fast the machine.
        p.js("ZEV.limits = { words: 512, bodyBytes: 1 << 20 }")
        p.fill(fill_word="6").click("#mem-fill")
        busy = lambda: [p.find(c).get_attribute("disabled") is not None for c in ("#mem-write", "#mem-fill", "#mem-import")]  # noqa: E731
        self.assertEqual(busy(), [True] * 3, "no second write while one is under way")
        p.go("AUD_CNTRL0")
        p.go("SWP_DATA_RAM")
        self.assertEqual(busy(), [True] * 3, "nor from the memory opened again, where it goes on")
        p.until(lambda: p.finds("#fill-message .cancel-write"), "the write's progress in the memory opened again")
        # (clicked in the page: each part writes the message again around the button)
        p.js("document.querySelector('#fill-message .cancel-write').click()")
        cancelled = p.said("#fill-message", "warn", "cancelled")
        self.assertEqual(busy(), [False] * 3)
        done = int(re.search(r"cancelled: (\d+) of 49152 words written", cancelled).group(1))
        self.assertTrue(0 < done < 49152 and done % 256 == 0, done)
        self.assertEqual(self.words("SWP_DATA_RAM"), [6] * done + [5] * (49152 - done))

        p.go("ENT_H1")
        for radix, written in (("dec", [26, 43, 60]), ("hex", [0x1A, 0x2B, 0x3C])):
            p.radix(radix)
            # Both radixes write the same words: start each from zeros (the form's message cleared too).
            self.put_words(4, [0, 0, 0])
            p.write_words("4", p.find("#mem-words").get_attribute("placeholder").split(": ", 1)[1])
            # The words reach the device before the page says so: wait for both.
            p.expect(lambda: (self.words(start=4, count=3), p.message("#mem-message")[0]), (written, "ok"),
                     "the example as typed in " + radix)
        self.put_words(4, [0, 0, 0])
        p.write_words("2", "AB CD")
        # (the page reads the words back after it says so)
        p.expect(lambda: (p.message("#mem-message"), p.texts("#memory-words td.word")[:4]),
                 (("ok", "written"), ["00000000", "00000000", "000000AB", "000000CD"]), "the range is written and shown")
        self.assertEqual(self.words(start=2, count=2), [0xAB, 0xCD])
        p.radix("dec")
        p.expect(lambda: p.texts("#memory-words td.word")[2:4], ["171", "205"], "words in decimal")
        self.assertIn("(decimal)", p.text("#words-title"))
        p.shot("console-memory.png")

        p.fill(fill_start="1", fill_count="5", fill_word="7").click("#mem-fill")
        p.expect(lambda: p.message("#fill-message"), ("ok", "5 words filled"), "filled")
        self.assertEqual(self.words(), [0, 7, 7, 7, 7, 7, 0])
        p.fill(export_start="1", export_count="3")
        self.assertEqual(self.downloaded("#mem-export", r"ENT_H1_1_3.*\.txt"),
                         "# ENT_H1 from word 1, 3 words, hexadecimal\n00000007 00000007 00000007\n")
        words_file = os.path.join(WORK, "words.txt")
        with open(words_file, "w") as f:
            f.write("# ENT_H1 from word 4, 2 words, hexadecimal\n0000BEEF 0000CAFE\n")
        p.find("#mem-import").send_keys(words_file)
        p.said("#file-message", "ok", "imported")
        self.assertEqual(self.words(), [0, 7, 7, 7, 0xBEEF, 0xCAFE, 0])
        # The memory is the service's until unlocked: Unlock memory hands it back.
        lock = lambda: self.api("POST", "state", {"register": "ENT_H1"})["lock"]  # noqa: E731
        self.assertEqual(lock(), "LOCKED")
        p.click("#unlock-memory")
        p.expect(lambda: (lock(), p.text("#lock-state")), ("UNLOCKED", "UNLOCKED"), "the memory unlocked")

    def test_09_search(self):
        p = self.page.open("/AUD_CNTRL0")

        def highlighted(within="#tree"):
            """The texts the search highlight paints within an element."""
            return p.js("""const h = CSS.highlights.get('search'); const box = document.querySelector(arguments[0]);
                return h ? [...h].filter((r) => box.contains(r.startContainer))
                    .map((r) => r.startContainer.data.slice(r.startOffset, r.endOffset).toLowerCase()) : []""", within)

        def find(text, listed, what):
            p.type("#search", text)
            p.until(lambda: listed in p.shown(), what)
        p.find("#search").send_keys("0E00")
        p.expect(p.shown, ["AUD_CNTRL0"], "an address finds its register")
        self.assertIn("by-address", p.find('a[href="#/AUD_CNTRL0"]').get_attribute("class"))
        find("marker_sig", "TRIG_SEL", "an enumerator finds its signal")
        self.assertEqual(set(highlighted()), {"marker_sig"})
        self.assertEqual(p.text("#tree details:not([hidden]) summary").split()[:4], ["AUD", "1", "of", "2"])
        find("mult_hp", "MULT_HP", "MULT_HP listed")
        self.assertEqual(highlighted('#tree a[href="#/AUD_CNTRL0/MULT_HP"]'), ["mult_hp"])
        self.assertEqual(highlighted('#tree a[href="#/AUD_CNTRL0"]'), [], "no MULT_HP in the register's name")
        # "The registers the search shows" saves those registers, not the signals listed under them.
        find("trig_sel", "TRIG_SEL", "TRIG_SEL listed")
        registers = p.js("return [...document.querySelectorAll('#tree > details:not([hidden]) > ul > li:not([hidden]) > a')]"
                         ".map((a) => a.getAttribute('href').slice(2))")
        self.assertIn("AUD_CNTRL0", registers)
        p.click("#save-set", 'input[name="set-scope"][value="shown"]')
        saved = json.loads(self.downloaded("#save-confirm", r"zev-set-.*\.json"))
        self.assertEqual(sorted(r["name"] for r in saved["registers"]), sorted(registers))
        # Cleared, the open register's block stays open.
        p.find("#search").send_keys(Keys.ESCAPE)
        p.until(lambda: p.js("return document.querySelector('#tree a[href=\"#/AUD_CNTRL0\"]').offsetParent !== null"),
                "the open register stays in sight")
        self.assertEqual(p.js("return [...document.querySelectorAll('#tree details[open] summary')]"
                              ".map((s) => s.firstChild.textContent)"), ["AUD"])

    # ---- what a register workbench offers ----
    def test_10_register_sets(self):
        p = self.page.open("/AUD_CNTRL0")
        # Saved from the console, the set is byte for byte what zevctl saves (which ZevctlTest applies).
        p.click("#save-set", 'input[name="set-scope"][value="all"]')
        saved, set_file = self.downloaded("#save-confirm", r"zev-set-.*\.json"), os.path.join(WORK, "console-set.json")
        self.zevctl("save", set_file)
        with open(set_file) as f:
            self.assertEqual(saved, f.read())

        # Loaded against a changed device: every differing field marked in the tree, the register and the Set panel.
        self.write("AUD_CNTRL0", "MULT_HP", 9)
        self.write("DIN_CNTRL0", "FIFOLEVEL", 33)
        p.find("#set-file").send_keys(set_file)
        differences = lambda: len(p.finds("#set-list input[type=checkbox]"))  # noqa: E731
        p.expect(differences, 2, "two differences listed")
        self.assertEqual(p.find("#tab-set").get_attribute("aria-selected"), "true")
        self.assertEqual(p.texts('#tree a[href="#/AUD_CNTRL0"] .diff-count, #tree a[href="#/DIN_CNTRL0"] .diff-count'),
                         ["≠1", "≠1"])
        p.click("#read-register")
        p.expect(lambda: p.rows("differs"), ["MULT_HP"], "the differing field marked in the register")
        # The set's value in the chosen radix, as the device's; the load's message beside the panes.
        self.assertEqual(p.cell("MULT_HP"), "9\nset: 0")
        p.radix("hex")
        p.expect(lambda: p.cell("MULT_HP").split("\n")[1], "set: 0x00", "the set's value in hexadecimal")
        self.assertRegex(p.label('#set-list input[data-signal="MULT_HP"]'), r"device 0x0*9, set 0x0+$")
        p.radix("dec")
        self.assertFalse(p.js("const t = document.getElementById('toasts'), l = document.getElementById('layout');"
                              "if (!t.querySelector('.toast')) throw new Error('no message to look at');"
                              "return t.getBoundingClientRect().top < l.getBoundingClientRect().bottom - 0.5"),
                         "a message over the panes")
        p.shot("console-1400.png")

        # Apply a selection: that field alone goes back.
        p.click('#set-list input[data-register="AUD_CNTRL0"][data-signal="MULT_HP"]', "#apply-selected")
        p.expect(differences, 1, "one difference left")
        self.assertEqual((self.field("AUD_CNTRL0", "MULT_HP"), self.field("DIN_CNTRL0", "FIFOLEVEL")),
                         ("00000000/h", "00000021/h"))
        self.assertFalse(p.finds('#tree a[href="#/AUD_CNTRL0"] .diff-count'))
        p.until(lambda: p.cell("MULT_HP") == "0", "the register re-read")
        p.click("#apply-all")
        p.expect(differences, 0, "nothing differs")
        self.assertEqual(self.api("POST", "sets/compare", {"set": json.loads(saved)})["differences"], [])
        # Each apply is one History entry, undone as a whole.
        p.click("#tab-history")
        self.assertEqual(p.history()[0], ["set console-set.json", "FIFOLEVEL", "33", "1"])
        p.click("#history tbody tr:first-child button")
        p.until(lambda: self.field("DIN_CNTRL0", "FIFOLEVEL") == "00000021/h", "the apply undone")
        p.expect(differences, 1, "the undone value differs again")
        self.api("POST", "sets/apply", {"set": json.loads(saved), "only": [{"register": "DIN_CNTRL0", "signal": "FIFOLEVEL"}]})

        # The device against its defaults, the same way.
        p.click("#tab-set", "#close-set")
        self.write("AUD_CNTRL0", "SHIFT_HP", 5)
        shift_hp = '#set-list input[data-register="AUD_CNTRL0"][data-signal="SHIFT_HP"]'
        p.click("#compare-defaults").until(lambda: p.finds(shift_hp), "SHIFT_HP differs")
        self.assertIn("SHIFT_HP: device 5, default 0", p.label(shift_hp))
        p.click(shift_hp, "#apply-selected").until(lambda: not p.finds(shift_hp), "SHIFT_HP back at its default")
        self.assertEqual(self.field("AUD_CNTRL0", "SHIFT_HP"), "00000000/h")
        p.click("#close-set")
        self.assertFalse(p.finds("#tree .diff-count"))

        # One word of a memory applied: its neighbours stay as they are.
        words_set = dict(json.loads(saved), registers=[{"name": "ENT_H1", "words": " ".join(["00000000"] * 7)}])
        with open(set_file + ".words", "w") as f:
            json.dump(words_set, f)
        self.put_words(2, [3, 4, 5])
        p.find("#set-file").send_keys(set_file + ".words")
        p.expect(differences, 3, "three words differ")
        p.click('#set-list input[data-register="ENT_H1"][data-word="3"]', "#apply-selected")
        p.expect(self.words, [0, 0, 3, 0, 5, 0, 0], "word 3 alone")
        for only, error in (([{"register": "ENT_H1", "start": 6, "count": 2}], "the set has no words 6 to 7 of ENT_H1"),
                            ([{"register": "ENT_H1", "start": 2 ** 64 - 1, "count": 1}],
                             "the set has no words 18446744073709551615 to 18446744073709551615 of ENT_H1"),
                            ([{"register": "ENT_H1", "start": 0, "count": 7}] * 9363, "too many words: at most 65536 in one request")):
            self.assertEqual(self.api("POST", "sets/apply", {"set": words_set, "only": only}), {"error": error})
        # zevctl applies a register named alone from the console's file (one format).
        self.write("AUD_CNTRL0", "MULT_DE", 4)
        self.zevctl("apply", set_file, "AUD_CNTRL0")
        self.assertEqual(self.field("AUD_CNTRL0", "MULT_DE"), "00000000/h")

    def test_11_whole_word_clickable_bits_and_history(self):
        p = self.page.open("/AUD_CNTRL0")
        p.type("#raw-word", "XYZ", Keys.ENTER)
        self.assertIn("not sent", p.said("#raw-message", "error", "a word that is not hexadecimal refused"))
        p.type("#raw-word", "123", Keys.ENTER)
        p.until(lambda: p.text("#word-now") == "0x000123", "the word written and read back")
        self.assertEqual(self.api("POST", "read", {"register": "AUD_CNTRL0"})["values"], ["00000123/h"])
        self.assertEqual((p.cell("TRIG_SEL"), p.cell("MULT_HP")), ("MARKER_SIG_3 (3)", "36"))
        # A click on bit 0 writes TRIG_SEL with that bit changed.
        p.click('button.bit[data-bit="0"]').until(lambda: p.cell("TRIG_SEL") == "MARKER_SIG_2 (2)", "the bit written")
        self.assertEqual((self.field("AUD_CNTRL0", "TRIG_SEL"), p.text('button.bit[data-bit="0"]')), ("MARKER_SIG_2", "0"))
        # The session's writes, newest first, each undoable.
        p.click("#tab-history")
        self.assertEqual(p.history()[:2], [["AUD_CNTRL0", "TRIG_SEL", "MARKER_SIG_3 (3)", "MARKER_SIG_2 (2)"],
                                           ["AUD_CNTRL0", "(whole word)", "0x000000", "0x000123"]])
        self.assertEqual(p.js("""const lines = (n) => { const r = document.createRange(); r.selectNodeContents(n);
                return new Set([...r.getClientRects()].map((x) => Math.round(x.top))).size; };
            return [...document.querySelectorAll('#history th, #history td a')].filter((n) =>
                n.scrollWidth > n.clientWidth + 1 || lines(n) > n.textContent.split('_').length).map((n) => n.textContent)"""),
            [], "a header or name cut or broken inside a word")
        p.click("#history tbody tr:first-child button")
        undone = lambda: (self.field("AUD_CNTRL0", "TRIG_SEL"), "undo of" in p.text("#history tbody tr:first-child"),  # noqa: E731
                          p.cell("TRIG_SEL"))
        p.expect(undone, ("MARKER_SIG_3", True, "MARKER_SIG_3 (3)"), "the write undone, the undo recorded, the page re-read")
        self.assertFalse(p.find("#history tbody tr:nth-child(2) button").is_enabled(), "an undone write is done with")

    def test_12_accessibility(self):
        p = self.page.open()
        results = {"landing": p.axe()}
        p.go("AUD_CNTRL0")
        p.write("MULT_HP", "3", "ok")
        results["register"] = p.axe()
        p.go("SWP_DATA_RAM")
        results["memory"] = p.axe()
        p.click("#compare-defaults").until(lambda: p.finds("#set-list input"), "differences listed")
        p.click("#tab-history")
        results["history and set"] = p.axe()
        print("\naxe-core (%s): %s" % (", ".join(WCAG), ", ".join("%s %d" % (k, len(v)) for k, v in results.items())))
        self.assertEqual({k: v for k, v in results.items() if v}, {})

    # ---- other servers: gone, read-only, busy, refusing the token ----
    def test_20_a_server_gone_is_said(self):
        process, url, p = self.other_zevd("gone.log")
        p.open("/AUD_CNTRL0")
        p.until(p.streaming, "the live panel follows the event stream")
        stop(process)
        # Nobody acts: the header says so within 2 s, and again when zevd is back on its port.
        connection = lambda: p.text("#connection")  # noqa: E731
        p.expect(connection, "Server unreachable", "the stop shown", timeout=2)
        process = self.other_zevd("gone.log", listen=url.split("//")[1])[0]
        p.expect(connection, "Connected", "the return shown", timeout=2.5)
        stop(process)
        p.expect(connection, "Server unreachable", "the stop shown again", timeout=2)
        self.assertIn("did not answer", p.write("MULT_HP", "5", "error"), "the failed write is said beside the field")
        self.assertEqual(connection(), "Server unreachable")
        kind, text = p.toast("#defaults")
        self.assertTrue(kind == "error" and "SetToDefault: The server did not answer" in text, text)
        # A register opened meanwhile: the list and the view agree, and say it was not read.
        self.browser.get(url + "/#/DIN_CNTRL0")
        p.until(lambda: p.heading() == "DIN_CNTRL0" and p.message("#register-message")[0] == "error", "not read, said")
        self.assertIn("did not answer", p.message("#register-message")[1])
        self.assertEqual([a.get_attribute("href").split("#")[1] for a in p.finds("#tree a[aria-current]")], ["/DIN_CNTRL0"])
        self.assertEqual(p.text("#read-at"), "(not read)")

    def test_21_a_lost_answer_is_asked_again_and_a_restart_is_told_once(self):
        process, url, _ = self.other_zevd("lost.log")
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
        self.addCleanup(listener.close)
        threading.Thread(target=lambda: [threading.Thread(target=carry, args=(listener.accept()[0],), daemon=True).start()
                                         for _ in iter(int, 1)], daemon=True).start()
        p = Page(self.browser, "http://127.0.0.1:%d" % listener.getsockname()[1])
        p.open("/AUD_CNTRL0")
        p.write("MULT_HP", "5", "ok")     # its lost answer asked for again
        self.assertTrue(lost, "the proxy lost the first answer")
        self.assertEqual(self.field("AUD_CNTRL0", "MULT_HP", url), "00000005/h")
        self.assertEqual(self.audited("lost.log", "batch"), 1, "carried out once")
        # zevd restarted on its port: the next write is refused once, saying so, and the one after works.
        stop(process)
        self.other_zevd("lost.log", listen="127.0.0.1:%d" % port)
        self.assertIn("the server restarted", p.write("MULT_HP", "6", "error"))
        self.assertEqual(self.field("AUD_CNTRL0", "MULT_HP", url), "00000000/h", "nothing done")
        p.write("MULT_HP", "7", "ok")     # the next write goes to the new run

    def test_21b_read_only_server(self):
        p = self.other_zevd("read-only.log", "--read-only")[2]
        p.open("/AUD_CNTRL0")
        self.assertIn("read-only", p.text("#readonly"))
        self.assertNoWrites(p, "TRIG_SEL", ("#edit-TRIG_SEL", "#defaults", "#raw-word", "#lock-all"), "read-only")
        self.assertLessEqual(p.js("return document.documentElement.scrollHeight"), 900, "the page fits the window")
        p.click("#compare-defaults").until(lambda: p.finds("#apply-all"), "a read-only server compares")
        self.assertFalse(p.find("#apply-all").is_enabled())
        p.shot("console-read-only.png")

    def test_22_a_fifth_console_waits_for_the_live_stream(self):
        _, url, p = self.other_zevd("fifth.log")
        streams = [http.client.HTTPConnection(url.split("//")[1]) for _ in range(4)]
        for stream in streams:
            self.addCleanup(stream.close)
            stream.request("GET", "/api/v1/events", headers={"Authorization": "Bearer " + TOKEN})
            self.assertEqual(stream.getresponse().status, 200)
        p.open()
        p.until(lambda: "503" in p.text("#live-status"), "the refusal is said")
        self.assertIn("trying again in 5 s", p.text("#live-status"))
        streams[0].close()
        p.until(p.streaming, "the console tried again and streams", timeout=15)
        self.assertEqual(p.text("#live-status"), "")

    def test_23_login_page_and_a_refused_token(self):
        p, b = self.page, self.browser
        b.get(self.url + "/")
        p.js("sessionStorage.clear()")
        b.get("about:blank")
        b.get(self.url + "/")
        p.until(lambda: p.find("#login").is_displayed(), "the login form")
        self.assertFalse(p.find("#defaults").is_displayed() or p.find("#live").is_displayed(), "no device actions without a token")
        b.get(self.url + "/#token=wrong-token-0123456789abcdef")
        p.until(lambda: p.text("#connection") == "Token refused", "the indicator says the token was refused")
        self.assertTrue(p.find("#login").is_displayed())
        p.find("#token").send_keys(TOKEN, Keys.ENTER)
        p.until(lambda: p.js("return document.body.dataset.ready") == "true", "the console with the right token")
        self.assertEqual(p.text("#connection"), "Connected")

    def test_24_at_800_pixels(self):
        size(self.browser, 800, 900)
        p = self.page.open("/AUD_CNTRL0")
        for register in ("AUD_CNTRL0", "PRI_OFFRES1", "PRI_CLKMASK", "DIN_CNTRL0", "SWP_DATA_RAM"):
            p.go(register)
            self.assertGreaterEqual(p.js("return document.getElementById('view').clientWidth"), 560)
            # (A memory's eight words a row scroll sideways in their own box here.)
            self.assertEqual(p.overflowing("view", ".memory-box"), {"scroll": 0, "wide": []}, register)
            self.assertLessEqual(p.js("return document.documentElement.scrollHeight"), 900)
        p.go("AUD_CNTRL0", "TRIG_SEL")
        p.write("TRIG_SEL", "MARKER_SIG_5", "ok")
        p.shot("console-800.png")

    def test_30_static_reference_opens_from_disk(self):
        folder = os.path.join(BUILD, "reference")
        subprocess.run([ZEVD, "--export-reference", folder], check=True, stdout=subprocess.DEVNULL)
        p = self.page
        self.browser.get("file://" + os.path.abspath(folder) + "/index.html#/AUD_CNTRL0")
        p.until(lambda: p.js("return document.body.dataset.ready") == "true" and p.heading() == "AUD_CNTRL0",
                "the reference's register page opened")
        self.assertEqual(p.text("#title"), "ZEV register reference")
        self.assertIn("3 MARKER_SIG_3", p.cell("TRIG_SEL"))
        self.assertEqual(p.js("return document.querySelector('tr[data-signal=\"MULT_HP\"] td:nth-child(3)').innerText"), "0")
        self.assertIn("CSequentialRead_ParallelWrite", p.text("table.props"))
        self.assertFalse(p.find("#actions").is_displayed(), "no device actions without a device")
        self.assertEqual(p.overflowing()["wide"], [])
        p.shot("reference.png")
        self.assertEqual(p.axe(), [], "axe-core on the static reference")


def type_slowly(field, text):
    """A key at a time, as a person types."""
    for key in text:
        field.send_keys(key)
        time.sleep(0.05)


if __name__ == "__main__":
    if not os.path.exists(AXE) and os.environ.get("CI"):
        sys.exit("console_browser.py: axe-core is missing (%s): tools/install-deps.sh installs it" % AXE)
    # (Test names after the three arguments run those alone.)
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
