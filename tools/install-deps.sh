#!/usr/bin/env bash
# Installs what the build, the tests and the checks need from Debian's packages, only when
# it is missing.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)
command -v xmllint >/dev/null || need+=(libxml2-utils)
command -v valgrind >/dev/null || need+=(valgrind)
command -v systemd-analyze >/dev/null || need+=(systemd)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# the service layer: HTTP and JSON
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -f /usr/include/boost/beast.hpp ] || need+=(libboost-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# zevd's metrics in Prometheus's text format
[ -f /usr/include/prometheus/text_serializer.h ] || need+=(prometheus-cpp-dev)
# the Python module and its tests, for Debian's own Python
[ -f /usr/lib/cmake/pybind11/pybind11Config.cmake ] || need+=(pybind11-dev)
# The Python checks run isolated: from the project's root the Tango door's own folder would
# pass for the tango module.
/usr/bin/python3 -I -c 'import sysconfig, os; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null || need+=(python3-dev)
/usr/bin/python3 -I -c 'import pytest' 2>/dev/null || need+=(python3-pytest)
# the Python wheel (built without the network, installed into a fresh venv), the stubs' mypy
# check, numpy views of memory words
/usr/bin/python3 -I -c 'import build, setuptools, wheel' 2>/dev/null || need+=(python3-build python3-setuptools python3-wheel)
/usr/bin/python3 -I -c 'import ensurepip, venv' 2>/dev/null || need+=(python3-venv)
/usr/bin/python3 -I -c 'import mypy' 2>/dev/null || need+=(python3-mypy)
/usr/bin/python3 -I -c 'import numpy' 2>/dev/null || need+=(python3-numpy)
# the Tango door (zev-tango), its PyTango tests, and a Tango database on MariaDB for the fleet
# test (tango-db is told not to set up a database of its own)
[ -f /usr/include/tango/tango.h ] || need+=(libtango-dev)
/usr/bin/python3 -I -c 'import tango' 2>/dev/null || need+=(python3-tango)
[ -x /usr/lib/tango/DataBaseds ] || need+=(tango-db)
command -v mariadbd >/dev/null || [ -x /usr/sbin/mariadbd ] || need+=(mariadb-server)
# the browser console's tests: Debian's chromium driven through chromedriver from Python
[ -x /usr/bin/chromium ] || need+=(chromium)
command -v chromedriver >/dev/null || need+=(chromium-driver)
/usr/bin/python3 -I -c 'import selenium' 2>/dev/null || need+=(python3-selenium)
# axe-core (from npm, pinned in tools/node) for the console's accessibility checks
command -v npm >/dev/null || need+=(nodejs npm)
# the C interface's C# door of the conformance cases: Mono's compiler, runtime and JSON reader
command -v mcs >/dev/null || need+=(mono-mcs)
command -v mono >/dev/null || need+=(mono-runtime)
[ -f /usr/lib/mono/4.5/System.Web.Extensions.dll ] || need+=(libmono-system-web-extensions4.0-cil)
# clang with libFuzzer and the sanitizer runtimes, for the fuzz target
probe=$(mktemp -d)
printf '#include <fuzzer/FuzzedDataProvider.h>\nextern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' > "$probe/f.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$probe/f.cpp" -o "$probe/f" >/dev/null 2>&1 || need+=(clang libclang-rt-14-dev)
rm -rf "$probe"
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  echo "tango-db tango-db/dbconfig-install boolean false" | $sudo debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi
[ -f "$(dirname "$0")/node/node_modules/axe-core/axe.min.js" ] ||
  npm ci --prefix "$(dirname "$0")/node" --no-audit --no-fund --loglevel=error
