#!/usr/bin/env bash
# Non-blank lines of tests and test data against the hand-written sources (the register
# description included; tests, fuzz targets and benchmarks on neither side, documents on
# neither side).
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r cat | grep -c -v '^[[:space:]]*$'; }
tests=$(git ls-files tests generator/tests python/tests tools/mutation-equivalents.txt | count)
sources=$(git ls-files | grep -v -E '^(tests|generator/tests|python/tests|fuzz|bench)/' |
          grep -E '\.(cpp|h|py|xml|xsd|sh|cmake|in|js|html|css)$|CMakeLists\.txt$|^\.ci/run$' | count)
echo "tests $tests, sources $sources, share $(awk "BEGIN { printf \"%.2f\", $tests / $sources }")"
