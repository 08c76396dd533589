#!/usr/bin/env bash
# Instructions per typed call, C++ and C, from valgrind's count of rl_zev_call_loop run with
# no call and with 100,000: bench/call_instructions.sh build/bench/rl_zev_call_loop
set -euo pipefail
loop=$1
count() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$loop" "$1" "$2" 2>&1 |
          sed -n 's/.*refs: *\([0-9,]*\).*/\1/p' | tr -d ,; }
for call in deferred get immediate readback; do
    for side in cpp c; do
        none=$(count "${side}_$call" 0)
        many=$(count "${side}_$call" 100000)
        printf '%-14s %5d instructions per call\n' "${side}_$call" $(( (many - none) / 100000 ))
    done
done
