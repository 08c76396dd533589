#!/usr/bin/env python3
"""Mutation testing for rl_zev: does the suite notice a small fault?

Each mutant changes one thing in one hand-written source (an operator, a literal, a
negation, or drops a statement). The tool applies it to a private copy of the project,
rebuilds incrementally, runs the tests of the mutated area and calls the mutant killed when
a test fails (or hangs), survived when every test passes. Mutants that do not compile are
left out of the score, and so are those in tools/mutation-equivalents.txt (no test can see
them; each has its reason there).

  tools/mutate.py --area framework                 every mutant of the framework
  tools/mutate.py --area framework --sample 30 --seed 7 --floor 0.9
  tools/mutate.py --files framework/ValueText.cpp  chosen files (their area's tests)
  tools/mutate.py --area sim --list                the mutants, nothing built

The score is killed / (killed + survived). With --floor the tool exits 1 below it.
"""
import argparse
import fnmatch
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENTS = os.path.join(ROOT, "tools", "mutation-equivalents.txt")

GTEST = ["--gtest_brief=1", "--gtest_fail_fast"]
# (target to build, command): a mutant meets the tests one by one and stops at the first
# that fails, so most mutants are built for one test program only.
FRAMEWORK_TESTS = [("rl_zev_framework_tests", ["@build/tests/rl_zev_framework_tests"] + GTEST),
                   ("rl_zev_device_tests", ["@build/tests/rl_zev_device_tests"] + GTEST)]
# The same framework tests built without the device first: a framework header change then
# costs a couple of dozen units instead of the whole ZEV, unless these tests miss it.
LEAN_FRAMEWORK_TESTS = [("rl_zev_framework_tests_lean", ["@build/tests/rl_zev_framework_tests_lean"] + GTEST)]
TOOL_TESTS = [("rl_zev_tool_tests", ["@build/tests/rl_zev_tool_tests"] + GTEST)]
SERVICE_TESTS = [("rl_zev_service_tests", ["@build/tests/rl_zev_service_tests"] + GTEST)]
# The operations' own cases take a sixth of the service program's time (the server's cases
# wait out deadlines): a mutant of the operations meets them first, and the whole program
# only if it passes them.
SERVICE_OPERATIONS = ("rl_zev_service_tests", ["@build/tests/rl_zev_service_tests", "--gtest_filter=Service.*:Runtime.*"] + GTEST)
PYTHON_TESTS = [("zev_python", ["@python", "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                                "@src/python/tests"])]
GENERATOR_TESTS = [(None, ["@python", "-m", "unittest", "discover", "-s", "@src/generator/tests"])]
# The conformance cases through one kind of door: the Python devices (in-process and remote,
# which needs zevd) or the C interface by ctypes.
CONFORMANCE_PYTHON = ("zev_python zevd", ["@python", "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                                          "@src/tests/conformance", "-k", "not ctypes"])
CONFORMANCE_CTYPES = ("rl_zev_c zev_python", ["@python", "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                                              "@src/tests/conformance", "-k", "ctypes"])
CAPI_TESTS = [("rl_zev_c_sim_test", ["@build/capi/tests/rl_zev_c_sim_test"]),
              ("rl_zev_c_callback_test", ["@build/capi/tests/rl_zev_c_callback_test"]),
              ("rl_zev_c_mixed_test", ["@build/capi/tests/rl_zev_c_mixed_test"] + GTEST),
              CONFORMANCE_CTYPES,
              ("rl_zev_c_csharp", ["mono", "@build/capi/tests/ZevCSharp.exe", "@src/tests/conformance/cases.json"])]

# What each area mutates and its tests, cheapest and likeliest to fail first.
AREAS = {
    "framework": {
        "files": ["framework/*.cpp", "framework/*.h"],
        "skip": ["framework/DllMain.cpp"],
        "tests": LEAN_FRAMEWORK_TESTS + FRAMEWORK_TESTS + TOOL_TESTS + SERVICE_TESTS
        + [("rl_zev_lifecycle", ["@build/tests/rl_zev_lifecycle"])] + PYTHON_TESTS,
    },
    "sim": {
        "files": ["sim/*.cpp", "sim/*.h"],
        "skip": [],
        "tests": TOOL_TESTS + SERVICE_TESTS + PYTHON_TESTS,
    },
    "zevctl": {
        "files": ["apps/zevctl/*.cpp", "apps/zevctl/*.h"],
        "skip": ["apps/zevctl/main.cpp"],
        "tests": TOOL_TESTS + SERVICE_TESTS,
    },
    "runtime": {
        "files": ["runtime/*.cpp", "runtime/*.h"],
        "skip": [],
        # Every door stands on the runtime: what the service's and zevctl's tests miss, Python's
        # doors (in the process and through zevd) may still see.
        "tests": SERVICE_TESTS + TOOL_TESTS + [("zev_python zevd", PYTHON_TESTS[0][1]), CONFORMANCE_PYTHON],
        # The service's tests make many devices and thousands of requests: with the library
        # and the simulator optimised they run fifteen times faster, and the mutated units
        # still compile unoptimised.
        "library_options": "-O1",
        # The runtime's and the operations' own cases take 2 s; the server's wait out deadlines.
        "front": {"runtime/*": SERVICE_OPERATIONS},
    },
    "service": {
        "files": ["service/*.cpp", "service/*.h", "runtime/RegisterSet.*", "apps/zevd/*.cpp"],
        "skip": [],
        "library_options": "-O1",
        # zevd's own code is seen only by the end-to-end test: it goes first for that file.
        "first": {"apps/zevd/*": "zevd zevctl"},
        "front": {"service/DeviceService*": SERVICE_OPERATIONS, "runtime/RegisterSet*": SERVICE_OPERATIONS},
        "tests": SERVICE_TESTS + [("zevd zevctl", ["@python", "@src/tests/zevd_end_to_end.py",
                                                   "@build/zevd", "@build/zevctl",
                                                   "@src/apps/zevctl/session.zev"])],
    },
    "capi": {
        "files": ["capi/*.cpp"],
        "skip": [],
        "library_options": "-O1",
        "tests": CAPI_TESTS,
    },
    "python": {
        "files": ["python/*.cpp", "python/zev/*.py"],
        "skip": [],
        "library_options": "-O1",
        "tests": [("zev_python zevd", PYTHON_TESTS[0][1]), CONFORMANCE_PYTHON],
    },
    "generator": {
        "files": ["generator/zevgen.py"],
        "skip": [],
        # A generator mutant meets the generator's own tests first. One that survives them
        # and writes the same device as before cannot be seen by any other test; one that
        # writes another device is built and meets the device's tests.
        "quick": GENERATOR_TESTS,
        "same_output_survives": True,
        "tests": FRAMEWORK_TESTS + TOOL_TESTS + PYTHON_TESTS,
    },
}

# Clang compiles the service's Beast and JSON units at -O0 in about half GCC's time.
COMPILERS = {"gcc": ["-DCMAKE_CXX_COMPILER=g++", "-DCMAKE_C_COMPILER=gcc"],
             "clang": ["-DCMAKE_CXX_COMPILER=clang++", "-DCMAKE_C_COMPILER=clang"]}

C_OPERATORS = [(" == ", " != "), (" != ", " == "), (" <= ", " < "), (" >= ", " > "),
               (" < ", " <= "), (" > ", " >= "), (" && ", " || "), (" || ", " && "),
               (" + ", " - "), (" - ", " + "), (" += ", " -= "), (" -= ", " += "),
               (" & ", " | "), (" | ", " & "), (" << ", " >> "), (" >> ", " << ")]
PY_OPERATORS = [(" == ", " != "), (" != ", " == "), (" <= ", " < "), (" >= ", " > "),
                (" < ", " <= "), (" > ", " >= "), (" and ", " or "), (" or ", " and "),
                (" + ", " - "), (" - ", " + "), (" += ", " -= "), (" is None", " is not None"),
                (" is not None", " is None"), (" in ", " not in "), (" not in ", " in ")]
C_WORDS = [("true", "false"), ("false", "true")]
PY_WORDS = [("True", "False"), ("False", "True")]
NUMBER = re.compile(r"(?<![\w.\-])(0x[0-9A-Fa-f]+|\d+)(?![\w.])")
# A declaration with its initialiser, or of a function: dropping it does not compile (or
# changes nothing), so it is not tried; nor is a pure virtual function's "= 0".
C_DECLARATION = re.compile(r"^(static\s+)?(const\s+)?[\w:]+(<.*>)?[\s*&]+\w+(\[\w*\])?\s*(=|\{|;)"
                           r"|^((virtual|static|inline|explicit)\s+)*[\w:<>]+[\s*&]+~?\w+\s*\(")
# Typed parameters (this project names them a_...) or "= delete": a declaration too.
C_DECLARATION_ANYWHERE = re.compile(r"\(\s*(const\s+)?[\w:<>]+[\s*&]+a_\w+|= (delete|default);$")
PURE_VIRTUAL = re.compile(r"\)\s*(const\s*)?=\s*0\s*;")
C_STATEMENT_SKIP = re.compile(r"^(return|using|typedef|namespace|case|default|public|private|protected|"
                              r"template|struct|class|enum|static_assert|extern|friend|#|//|\{|\})")


def blank_strings(line, python):
    """The line with string and char literals and the trailing comment blanked out, so that
    mutations never land inside them (same length, so columns still match)."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            if c == quote:
                quote = None
                out.append(c)
            else:
                out.append(" ")
        elif c in "\"'":
            quote = c
            out.append(c)
        elif (python and c == "#") or (not python and line.startswith("//", i)):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out).ljust(len(line))[: len(line)]


def mutants_of(path):
    """Every mutant of one file: (line number, original line, mutated line, what)."""
    python = path.endswith(".py")
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        lines = f.read().split("\n")
    found = []
    in_comment = in_text = False
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if python and (in_text or line.count('"""') % 2):
            # Inside a string of several lines (a docstring, a word list): text, not code.
            in_text = not in_text if line.count('"""') % 2 else in_text
            continue
        if not python:
            if in_comment:
                in_comment = "*/" not in stripped
                continue
            if stripped.startswith("/*"):
                in_comment = "*/" not in stripped
                continue
            if stripped.startswith("#") or stripped.startswith("//"):
                continue
        elif stripped.startswith("#") or stripped.startswith(("import ", "from ", "def ", "class ", '"""')):
            continue
        code = blank_strings(line, python)

        def at(col, old, new, what):
            found.append((number, line, line[:col] + new + line[col + len(old):], what))

        for old, new in (PY_OPERATORS if python else C_OPERATORS):
            if old in (" << ", " >> ") and ('"' in code or "Stream" in code or "Out" in code):
                continue  # a stream, not a shift
            start = code.find(old)
            while start >= 0:
                at(start, old, new, "operator")
                start = code.find(old, start + 1)
        for old, new in (PY_WORDS if python else C_WORDS):
            for m in re.finditer(r"\b%s\b" % old, code):
                at(m.start(), old, new, "constant")
        for m in ([] if PURE_VIRTUAL.search(code) else NUMBER.finditer(code)):
            text = m.group(1)
            value = int(text, 16) if text.startswith("0x") else int(text)
            new = (hex(value + 1) if text.startswith("0x") else str(value + 1)) if value != 1 else "0"
            at(m.start(), text, new, "literal")
        if not python:
            for m in re.finditer(r"!(?!=)", code):
                at(m.start(), "!", "", "negation")
            if (stripped.endswith(";") and not C_STATEMENT_SKIP.match(stripped)
                    and "{" not in code and not C_DECLARATION.match(stripped)
                    and not C_DECLARATION_ANYWHERE.search(stripped)
                    and (" = " in code or stripped.endswith(");"))):
                indent = line[: len(line) - len(line.lstrip())]
                found.append((number, line, indent + ";", "statement"))
        elif (re.match(r"^[\w.\[\]]+\s*(=|\+=|-=)\s*|^[\w.]+\(", stripped)
              and not stripped.endswith((":", ",", "(", "[", "{", "\\"))):
            indent = line[: len(line) - len(line.lstrip())]
            found.append((number, line, indent + "pass", "statement"))
    return found


def load_equivalents():
    """(file, before, after) -> reason, from the equivalents list. The file may name a line
    ("file:42") where the same change elsewhere in the file is not equivalent; such an entry
    no longer matches once its line moves, so the mutant comes back rather than hiding another."""
    known = {}
    if not os.path.exists(EQUIVALENTS):
        return known
    with open(EQUIVALENTS, encoding="utf-8") as f:
        for number, row in enumerate(f, 1):
            if not row.strip() or row.startswith("#"):
                continue
            parts = [p.strip() for p in row.rstrip("\n").split(" @@ ")]
            if len(parts) != 4:
                sys.exit("%s:%d: expected 'file @@ before @@ after @@ reason'" % (EQUIVALENTS, number))
            known[(parts[0], parts[1], parts[2])] = parts[3]
    return known


def files_of(area, chosen):
    config = AREAS[area]
    if chosen:
        return chosen
    found = []
    for pattern in config["files"]:
        folder = os.path.dirname(pattern)
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            rel = os.path.join(folder, name)
            if fnmatch.fnmatch(rel, pattern) and rel not in config["skip"]:
                found.append(rel)
    return found


def area_of(path):
    for area, config in AREAS.items():
        if any(fnmatch.fnmatch(path, p) for p in config["files"]):
            return area
    sys.exit("%s belongs to no area (%s)" % (path, ", ".join(AREAS)))


class Workspace:
    """A copy of the project and its build tree, so the work tree is never touched."""

    def __init__(self, folder, area, compiler):
        self.src = os.path.join(folder, "src")
        self.build = os.path.join(folder, "build")
        self.area = AREAS[area]
        self.took, self.limits = {}, {}  # each test program's last time, its time limit
        os.makedirs(folder, exist_ok=True)
        tracked = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT,
                                 capture_output=True, text=True, check=True).stdout.split()
        for rel in tracked:
            src, dst = os.path.join(ROOT, rel), os.path.join(self.src, rel)
            if not os.path.isfile(src):
                continue
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            if not os.path.exists(dst) or open(src, "rb").read() != open(dst, "rb").read():
                shutil.copyfile(src, dst)  # a fresh time stamp, so that it is rebuilt
        # Configured every time, so that the options hold for a build tree of an older run too.
        subprocess.run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                        "-DRL_ZEV_LIBRARY_COMPILE_OPTIONS=" + self.area.get("library_options", ""),
                        "-DPython3_EXECUTABLE=/usr/bin/python3", "-DRL_ZEV_MUTATION_TARGETS=ON"]
                       + COMPILERS[compiler],
                       check=True, stdout=subprocess.DEVNULL)

    def make(self, targets):
        return subprocess.run(["cmake", "--build", self.build, "-j2", "--target"] + targets.split(),
                              capture_output=True, text=True).returncode == 0

    def run_tests(self, tests, timeout, every=False):
        """None when every test passes, "" when a test program does not build, else the
        first failing test program. With every=True, all programs run and the answer is
        the list of every failing test case (program name where it has no cases)."""
        # Tests write fixed names under the temp folder: a shard running beside this one
        # must not meet them.
        temp = os.path.join(os.path.dirname(self.build), "tmp")
        os.makedirs(temp, exist_ok=True)
        env = dict(os.environ, PYTHONPATH=os.path.join(self.build, "python"), TMPDIR=temp, TEST_TMPDIR=temp,
                   ZEVD=os.path.join(self.build, "zevd"),
                   ZEV_C_LIBRARY=os.path.join(self.build, "capi", "librl_zev_c.so"),
                   LD_LIBRARY_PATH=os.path.join(self.build, "capi"))  # for Mono's P/Invoke
        report = os.path.join(os.path.dirname(self.build), "cases.json")
        failing = []
        for target, command in tests:
            if target and not self.make(target):
                return ""
            argv = ["/usr/bin/python3" if a == "@python" else
                    a.replace("@src", self.src).replace("@build", self.build) for a in command]
            name = program_name(command)
            cases = every and GTEST[0] in argv
            if cases:
                argv = [a for a in argv if a not in GTEST] + ["--gtest_output=json:" + report]
                if os.path.exists(report):
                    os.remove(report)
            # Its own process group: a daemon the test started (one a mutant keeps from
            # stopping) goes with it, timed out or not.
            done = subprocess.Popen(argv, cwd=self.build, env=env, start_new_session=True,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            timed_out = False
            began = time.time()
            try:
                # A hanging mutant waits out five times its own program's unmutated time,
                # not the whole area's: a front of 2 s must not hold it for ten minutes.
                done.wait(timeout=self.limits.get((target, tuple(command)), timeout))
            except subprocess.TimeoutExpired:
                timed_out = True
            finally:
                try:
                    os.killpg(done.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                done.wait()
            self.took[(target, tuple(command))] = time.time() - began
            if timed_out:
                failing.append(name + " (timed out)")
                if not every:
                    return failing[0]
                continue
            if done.returncode == 0:
                continue
            if not every:
                return name
            failed = failed_cases(report) if cases else []
            failing.extend(failed or [name])  # a crash leaves no report: the program counts
        return failing if every else None

    def cases(self, tests):
        """Every test case of the GoogleTest programs among tests, by Suite.Case."""
        found = []
        for _, command in tests:
            if GTEST[0] not in command:
                found.append(program_name(command))
                continue
            listed = subprocess.run([command[0].replace("@build", self.build), "--gtest_list_tests"],
                                    capture_output=True, text=True, check=True).stdout
            suite = ""
            for row in listed.splitlines():
                if not row.startswith(" "):
                    suite = row.split()[0]
                elif row.strip():
                    found.append(suite + row.split()[0])
        return found

    def generated(self, into):
        """The generator's output for the register description, into a fresh folder."""
        shutil.rmtree(into, ignore_errors=True)
        try:  # (a mutant that loops is refused as one that fails)
            done = subprocess.run(["/usr/bin/python3", os.path.join(self.src, "generator", "zevgen.py"),
                                   os.path.join(self.src, "zev", "PD_ZEV.xml"), into], capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            return None
        if done.returncode != 0:
            return None
        out = {}
        for folder, _, names in os.walk(into):
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    out[os.path.relpath(os.path.join(folder, name), into)] = f.read()
        return out

    def try_mutant(self, path, tests, timeout, baseline_output, every):
        """(outcome, the test that failed, or with every=True the list of all that failed)."""
        for pattern, target in self.area.get("first", {}).items():
            if fnmatch.fnmatch(path, pattern):
                tests = [t for t in tests if t[0] == target] + [t for t in tests if t[0] != target]
        for pattern, front in self.area.get("front", {}).items():
            # Only in front of its own program: one left out by --programs stays out.
            if fnmatch.fnmatch(path, pattern) and not every and front[0] in [t[0] for t in tests]:
                tests = [front] + tests
        quick = [t for t in tests if t in self.area.get("quick", [])]
        rest = [t for t in tests if t not in quick]
        found = []
        if quick:
            by = self.run_tests(quick, timeout, every)
            if by and not every:
                return "killed", by
            found += by or []
        if self.area.get("same_output_survives"):
            output = self.generated(os.path.join(os.path.dirname(self.build), "generated-mutant"))
            if output is None:
                return "killed", found + ["zevgen"] if every else "zevgen refused the description"
            if output == baseline_output:
                return ("killed", found) if found else ("survived", [] if every else "")
        by = self.run_tests(rest, timeout, every)
        if by == "":
            return "uncompilable", [] if every else ""
        if every:
            found += by
            return ("killed" if found else "survived"), found
        return ("killed", by) if by else ("survived", "")


def program_name(command):
    """A test program by its name: the binary, or the script or folder Python runs."""
    if command[0] != "@python":
        return os.path.basename(command[0])
    scripts = [a for a in command[1:] if a.endswith(".py")]
    return os.path.basename(scripts[0] if scripts else command[-1])


def failed_cases(report):
    """Suite.Case of every failed case in a GoogleTest JSON report (none if there is none)."""
    if not os.path.exists(report):
        return []
    with open(report) as f:
        suites = json.load(f).get("testsuites", [])
    return ["%s.%s" % (s["name"], c["name"]) for s in suites for c in s.get("testsuite", [])
            if c.get("failures")]


def print_kills_per_test(results, cases):
    """Per test case: the mutants it kills, and those no other case kills. A case with no
    kill of its own adds nothing the rest of the suite does not already catch."""
    kills, alone = dict.fromkeys(cases, 0), {}
    for r in results:
        for case in r["by"] if r["outcome"] == "killed" else []:
            kills[case] = kills.get(case, 0) + 1
            if len(r["by"]) == 1:
                alone[case] = alone.get(case, 0) + 1
    print("\ntest case                                                        kills  alone")
    for case in sorted(kills, key=lambda c: (alone.get(c, 0), kills[c], c)):
        print("%-64s %5d %6d" % (case, kills[case], alone.get(case, 0)))


def file_digest(path):
    """What a kept result is tied to: its file as it was when the mutant ran."""
    with open(os.path.join(ROOT, path), "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def share_of(path, number, after, shares):
    """Which of the shares a mutant falls in: the same in every run, whatever is kept."""
    key = ("%s:%d:%s" % (path, number, after)).encode("utf-8")
    return int(hashlib.sha1(key).hexdigest(), 16) % shares


def merge(paths, into):
    """The union of the shards' results (a later file wins for the same mutant), without those
    of a file changed since and those listed as equivalent since; summed up, and the score."""
    merged, stale, digests = {}, 0, {}
    equivalents = load_equivalents()
    for path in paths:
        with open(path) as f:
            for r in json.load(f):
                if r["file"] not in digests:
                    digests[r["file"]] = file_digest(r["file"]) if os.path.exists(os.path.join(ROOT, r["file"])) else None
                mutant = (r["before"], r["after"])
                if r.get("digest") != digests[r["file"]] or (r["file"],) + mutant in equivalents \
                        or ("%s:%d" % (r["file"], r["line"]),) + mutant in equivalents:
                    stale += 1
                    continue
                merged[(r["file"], r["line"], r["after"])] = r
    results = sorted(merged.values(), key=lambda r: (r["file"], r["line"]))
    per_file = {}
    for r in results:
        counts = per_file.setdefault(r["file"], {"killed": 0, "survived": 0, "uncompilable": 0})
        counts[r["outcome"]] += 1
    killed, survived = print_summary(per_file, results)
    print("\nscore %d/%d; %d results left out (their file changed, or listed as equivalent since)"
          % (killed, killed + survived, stale))
    if into:
        write_json(into, results)
    return 0


def print_summary(per_file, results):
    print("\nfile                                     killed survived  no build")
    for path, c in sorted(per_file.items()):
        print("%-40s %6d %8d %9d" % (path, c["killed"], c["survived"], c["uncompilable"]))
    print("\nsurvivors:")
    for r in results:
        if r["outcome"] == "survived":
            print("  %s:%d: %s -> %s" % (r["file"], r["line"], r["before"], r["after"]))
    killed = sum(c["killed"] for c in per_file.values())
    survived = sum(c["survived"] for c in per_file.values())
    return killed, survived


def write_json(path, results):
    with open(path + ".part", "w") as f:
        json.dump(results, f, indent=1)
    os.replace(path + ".part", path)


def label(after, what):
    return "(deleted)" if what == "statement" else after.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--area", choices=sorted(AREAS))
    parser.add_argument("--files", nargs="+", help="files to mutate (one area)")
    parser.add_argument("--sample", type=int, help="this many mutants, drawn with --seed")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--floor", type=float, help="fail below this score (0..1)")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--workdir", default=os.path.join(ROOT, "build-mutation"))
    parser.add_argument("--json", help="write every result here (after each mutant)")
    parser.add_argument("--resume", action="store_true",
                        help="keep the killed and uncompilable mutants already in --json whose file is "
                             "unchanged, run the rest")
    parser.add_argument("--pause-file", metavar="PATH",
                        help="while this file exists, start no next mutant (a quiet machine for a measurement)")
    parser.add_argument("--survivors-of", metavar="JSON",
                        help="only the mutants that survived in this earlier --json result")
    parser.add_argument("--killed-of", metavar="JSON",
                        help="only the mutants killed in this earlier --json result (after trimming tests)")
    parser.add_argument("--every-test", action="store_true",
                        help="run every test of the area on every mutant and record each failing "
                             "test case; prints how many mutants each case kills, and alone")
    parser.add_argument("--compiler", choices=sorted(COMPILERS), default="gcc",
                        help="build the mutants with this compiler (a build tree keeps its first)")
    parser.add_argument("--shard", metavar="K/N",
                        help="only the K-th of N shares of the mutants (a stable share: one run per core, "
                             "each with its own --workdir and --json; then --merge)")
    parser.add_argument("--merge", nargs="+", metavar="JSON",
                        help="write the union of these results to --json and sum them up")
    parser.add_argument("--programs", nargs="+", metavar="TARGET",
                        help="only these test programs of the area (build targets)")
    args = parser.parse_args()
    if args.merge:
        return merge(args.merge, args.json)
    earlier_of = args.survivors_of or args.killed_of
    if earlier_of and not args.files:
        with open(earlier_of) as f:
            args.files = sorted({r["file"] for r in json.load(f)})
    if not args.area and not args.files:
        parser.error("give --area or --files")
    area = args.area or area_of(args.files[0])
    files = files_of(area, args.files)
    equivalents = load_equivalents()

    candidates, skipped = [], 0
    for path in files:
        for number, before, after, what in mutants_of(path):
            mutant = (before.strip(), label(after, what))
            if (path,) + mutant in equivalents or ("%s:%d" % (path, number),) + mutant in equivalents:
                skipped += 1
                continue
            candidates.append((path, number, before, after, what))
    if earlier_of:
        wanted = "survived" if args.survivors_of else "killed"
        with open(earlier_of) as f:
            earlier = {(r["file"], r["before"], r["after"]) for r in json.load(f) if r["outcome"] == wanted}
        candidates = [c for c in candidates if (c[0], c[2].strip(), label(c[3], c[4])) in earlier]
    if args.shard:
        k, n = (int(x) for x in args.shard.split("/")) if re.fullmatch(r"\d+/\d+", args.shard) else (0, 0)
        if not 0 <= k < n:
            parser.error("--shard takes K/N with 0 <= K < N")
        candidates = [c for c in candidates if share_of(c[0], c[1], label(c[3], c[4]), n) == k]
    if args.sample and args.sample < len(candidates):
        candidates = random.Random(args.seed).sample(candidates, args.sample)
    candidates.sort(key=lambda c: (c[0], c[1]))
    if args.list:
        for path, number, before, after, what in candidates:
            print("%s:%d: [%s] %s -> %s" % (path, number, what, before.strip(), label(after, what)))
        print("%d mutants (%d listed as equivalent left out)" % (len(candidates), skipped))
        return 0

    # A stopped run still puts the mutated file back.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))
    started = time.time()
    ws = Workspace(os.path.join(args.workdir, area), area, args.compiler)
    tests = ws.area.get("quick", []) + ws.area["tests"]
    if args.programs:
        tests = [t for t in tests if t[0] in args.programs]
        if not tests:
            sys.exit("no test program of area %s is called %s" % (area, " ".join(args.programs)))
    if not ws.make(" ".join(t for t, _ in tests if t)):
        sys.exit("the unmutated project does not build in %s" % ws.build)
    t0 = time.time()
    fronts = [] if args.every_test else [f for pattern, f in ws.area.get("front", {}).items()
                                         if f[0] in [t[0] for t in tests] and fnmatch.filter(files, pattern)]
    failing = ws.run_tests([f for i, f in enumerate(fronts) if f not in fronts[:i]] + tests, timeout=600)
    if failing is not None:
        sys.exit("the unmutated project fails its tests: %s" % failing)
    timeout = max(30.0, 5 * (time.time() - t0))
    # (--every-test runs every case of a program, each failing one waiting out its deadline:
    # the area's limit then)
    ws.limits = {} if args.every_test else {key: max(20.0, 5 * took) for key, took in ws.took.items()}
    baseline = ws.generated(os.path.join(args.workdir, area, "generated-baseline")) \
        if ws.area.get("same_output_survives") else None
    print("area %s: %d mutants of %d files (%d equivalent left out); tests take %.1f s"
          % (area, len(candidates), len(files), skipped, time.time() - t0), flush=True)

    results, per_file = [], {}
    digests = {path: file_digest(path) for path in files}
    kept = {}
    if args.resume and args.json and os.path.exists(args.json):
        with open(args.json) as f:
            # A survivor is tried again: the tests may have changed since.
            kept = {(r["file"], r["line"], r["after"]): r for r in json.load(f)
                    if r.get("digest") == digests.get(r["file"]) and r["outcome"] != "survived"}
    ahead = dict(kept)  # kept, not reached yet: written with every result, so a stop loses none
    for index, (path, number, before, after, what) in enumerate(candidates, 1):
        counts = per_file.setdefault(path, {"killed": 0, "survived": 0, "uncompilable": 0})
        earlier = ahead.pop((path, number, label(after, what)), None)
        if earlier:
            counts[earlier["outcome"]] += 1
            results.append(earlier)
            continue
        while args.pause_file and os.path.exists(args.pause_file):
            time.sleep(1)
        target = os.path.join(ws.src, path)
        with open(target, encoding="utf-8") as f:
            original = f.read()
        lines = original.split("\n")
        assert lines[number - 1] == before
        lines[number - 1] = after
        with open(target, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        try:
            outcome, by = ws.try_mutant(path, tests, timeout, baseline, args.every_test)
        finally:
            with open(target, "w", encoding="utf-8") as f:
                f.write(original)
        counts[outcome] += 1
        results.append({"file": path, "line": number, "before": before.strip(), "after": label(after, what),
                        "what": what, "outcome": outcome, "by": by, "digest": digests[path]})
        if args.json:  # a run stopped half way keeps what it found (see --resume)
            write_json(args.json, results + list(ahead.values()))
        mark = {"killed": "killed", "survived": "SURVIVED", "uncompilable": "no build"}[outcome]
        shown = ", ".join(by) if isinstance(by, list) else by
        print("[%d/%d] %-8s %s:%d: %s -> %s%s" % (index, len(candidates), mark, path, number, before.strip(),
                                                 label(after, what), "  (" + shown + ")" if shown else ""),
              flush=True)
    ws.make(" ".join(t for t, _ in tests if t))  # leave the copy built from the unmutated sources

    killed, survived = print_summary(per_file, results)
    score = killed / (killed + survived) if killed + survived else 1.0
    if args.every_test:
        print_kills_per_test(results, ws.cases(tests))
    print("\nscore %d/%d = %.3f in %.0f s" % (killed, killed + survived, score, time.time() - started))
    if args.json:
        write_json(args.json, results)
    if args.floor is not None and score < args.floor:
        print("below the floor %.3f" % args.floor)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
