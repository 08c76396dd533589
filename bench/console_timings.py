#!/usr/bin/env python3
"""The console's start, search, register and memory page timed in fresh browsers, at rest
and with the machine busy (seven busy processes on its cores), each beside its baseline
(the page parsed before any request, one request's round trip). Medians of three browsers
go to BUILD_DIR/console-timings.json and are printed.

console_timings.py ZEVD ZEVCTL BUILD_DIR
"""
import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from console_browser import BUILD, Page, new_browser, start_zevd, stop, type_slowly  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402


def timed_runs(url):
    runs = []
    for _ in range(3):
        browser = new_browser()
        try:
            p = Page(browser, url)
            p.open()
            timing = lambda name: p.js("return window.zevTimings." + name)  # noqa: E731
            run = {"ready_ms": timing("ready"),
                   "parsed_ms": p.js("return performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd"),
                   "round_trip_ms": browser.execute_async_script(
                       "const done = arguments[arguments.length - 1]; const t = performance.now();"
                       "window.ZEV.call('GET', 'device').then(() => done(performance.now() - t));")}
            type_slowly(p.find("#search"), "TRIG_SEL")
            p.until(lambda: len(timing("filter")) == 8, "every keystroke filtered")
            run["search_key_ms"] = max(timing("filter"))
            p.find("#search").send_keys(Keys.ESCAPE)
            p.go("PRI_CLKMASK")
            p.until(lambda: len(timing("open")) == 1, "the open timed")
            opened = timing("open[0]")
            run.update(open_32_signals_ms=opened["ms"], open_built_ms=opened["built"], open_shown_ms=opened["shown"])
            p.go("SWP_DATA_RAM")
            p.find("#page-next").click()
            p.until(lambda: len(timing("page")) == 2, "the page timed")
            run["memory_page_ms"] = timing("page[1].ms")
            runs.append(run)
        finally:
            browser.quit()
    return runs


def busy_runs(url):
    runs = []
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(7)]
    try:
        for _ in range(3):
            browser = new_browser()
            try:
                p = Page(browser, url)
                p.open()
                runs.append({"busy_ready_ms": p.js("return window.zevTimings.ready"), "busy_parsed_ms": p.js(
                    "return performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd")})
            finally:
                browser.quit()
    finally:
        for process in busy:
            process.kill()
            process.wait()
    return runs


if __name__ == "__main__":
    zevd, url = start_zevd()
    try:
        runs, busy = timed_runs(url), busy_runs(url)
    finally:
        stop(zevd)
    medians = {key: statistics.median(run[key] for run in runs) for key in runs[0]}
    medians.update({key: statistics.median(run[key] for run in busy) for key in busy[0]})
    with open(os.path.join(BUILD, "console-timings.json"), "w") as f:
        json.dump({"runs": runs, "busy_runs": busy, "medians": medians}, f, indent=1)
    print("console, medians of 3 fresh browsers (ms): " + ", ".join("%s %.1f" % kv for kv in medians.items()))
