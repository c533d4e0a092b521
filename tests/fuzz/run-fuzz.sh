#!/bin/sh
# Usage: tests/fuzz/run-fuzz.sh SECONDS
# Builds the libFuzzer harness over the workbook readers and the document's composition with clang,
# ASan and UBSan in build-fuzz/ and fuzzes each reader for SECONDS (composing the sheets read in the
# common charsets), seeded with its test workbooks, the regression inputs and (when present)
# ../shared/corpus for .xls, ../shared/corpus-ooxml for .xlsx and .ods.
# Exits non-zero on a crash; the crashing input is left in build-fuzz/crashes/ (add it to
# tests/fuzz/regressions/).
set -eu
seconds=${1:?usage: run-fuzz.sh SECONDS}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build-fuzz

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTESSALY_FUZZ=ON -DTESSALY_SANITIZE=ON -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --target fuzz_workbook -j"$(nproc)"
mkdir -p "$build/crashes"

# fuzz FORMAT EXTENSIONS SEED_DIR... : one run with its own working corpus, seeded with the files of
# the SEED_DIRs whose extension matches EXTENSIONS (a find -iregex alternative such as 'xls\|ods').
fuzz() {
    format=$1 extensions=$2
    shift 2
    seeds=$build/seeds-$format
    rm -rf "$seeds"
    mkdir -p "$seeds" "$build/fuzz-corpus-$format"
    for dir in "$@"; do
        [ -d "$dir" ] || { echo "run-fuzz.sh: no $dir, seeding $format from the test workbooks only"; continue; }
        find "$dir" -type f -iregex ".*\.\($extensions\)" -size -2M -exec cp {} "$seeds/" \;
    done
    cp "$root"/tests/fuzz/regressions/* "$seeds/"
    "$build/tests/fuzz/fuzz_workbook" "$build/fuzz-corpus-$format" "$seeds" \
        -max_total_time="$seconds" -max_len=262144 -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$build/crashes/$format-" -print_final_stats=1
}

fuzz xls 'xls' "$root/tests/data" "$root/../shared/corpus"
fuzz xlsx 'xlsx\|xlsm\|xltx' "$root/tests/data" "$root/../shared/corpus-ooxml"
fuzz ods 'ods' "$root/tests/data" "$root/../shared/corpus-ooxml"
