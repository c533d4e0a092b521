#!/bin/sh
# Usage: tests/fuzz/run-fuzz.sh SECONDS
# Builds the workbook reader's libFuzzer harness with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, seeds it with the test workbooks, the regression
# inputs and ../shared/corpus when present, and fuzzes for SECONDS. Exits non-zero on a crash;
# the crashing input is left in build-fuzz/crashes/ (add it to tests/fuzz/regressions/).
set -eu
seconds=${1:?usage: run-fuzz.sh SECONDS}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build-fuzz

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTESSALY_FUZZ=ON -DTESSALY_SANITIZE=ON -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --target fuzz_workbook -j"$(nproc)"

mkdir -p "$build/fuzz-corpus" "$build/crashes"
seeds="$root/tests/data/xls $root/tests/fuzz/regressions"
if [ -d "$root/../shared/corpus" ]; then
    seeds="$seeds $root/../shared/corpus"
else
    echo "run-fuzz.sh: no ../shared/corpus, seeding from the test workbooks only"
fi
# shellcheck disable=SC2086 # seeds is a list of folders
"$build/tests/fuzz/fuzz_workbook" "$build/fuzz-corpus" $seeds \
    -max_total_time="$seconds" -max_len=262144 -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$build/crashes/" -print_final_stats=1
