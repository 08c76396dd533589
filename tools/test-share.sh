#!/usr/bin/env bash
# Non-blank lines of tests and test data against the hand-written sources (the register
# description included; every test folder on the tests' side, the C interface's and the
# conformance cases among them; fuzz targets, benchmarks, documents and the list of
# equivalent mutants on neither side).
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r cat | grep -c -v '^[[:space:]]*$'; }
tests=$(git ls-files tests generator/tests python/tests capi/tests | count)
sources=$(git ls-files | grep -v -E '^(tests|generator/tests|python/tests|capi/tests|fuzz|bench)/' |
          grep -E '\.(cpp|h|py|xml|xsd|sh|cmake|in|js|html|css)$|CMakeLists\.txt$|^\.ci/run$' | count)
echo "tests $tests, sources $sources, share $(awk "BEGIN { printf \"%.2f\", $tests / $sources }")"
