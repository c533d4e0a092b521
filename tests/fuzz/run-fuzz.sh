#!/bin/sh
# Usage: tests/fuzz/run-fuzz.sh SECONDS
# Builds the libFuzzer harnesses with clang, ASan and UBSan in build-fuzz/ and fuzzes each workbook
# reader for SECONDS (composing the sheets read in the common charsets), seeded with its test
# workbooks, the regression inputs and (when present) ../shared/corpus for .xls,
# ../shared/corpus-ooxml for .xlsx and .ods; then compares the fast XML reader with expat for
# SECONDS, seeded with the XML parts of those .xlsx and .ods files.
# Exits non-zero on a crash; the crashing input is left in build-fuzz/crashes/ (add it to
# tests/fuzz/regressions/).
set -eu
seconds=${1:?usage: run-fuzz.sh SECONDS}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build-fuzz

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTESSALY_FUZZ=ON -DTESSALY_SANITIZE=ON -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --target fuzz_workbook fuzz_xml_reader -j"$(nproc)"
mkdir -p "$build/crashes"

# fuzz HARNESS FORMAT EXTENSIONS SEED_DIR... : one run of fuzz_HARNESS with its own working corpus, seeded with the files of
# the SEED_DIRs whose extension matches EXTENSIONS (a find -iregex alternative such as 'xls\|ods').
fuzz() {
    harness=$1 format=$2 extensions=$3
    shift 3
    seeds=$build/seeds-$format
    rm -rf "$seeds"
    mkdir -p "$seeds" "$build/fuzz-corpus-$format"
    for dir in "$@"; do
        [ -d "$dir" ] || { echo "run-fuzz.sh: no $dir, seeding $format from the test workbooks only"; continue; }
        find "$dir" -type f -iregex ".*\.\($extensions\)" -size -2M -exec cp {} "$seeds/" \;
    done
    cp "$root"/tests/fuzz/regressions/* "$seeds/"
    if [ "$format" = xml ]; then
        # The parts themselves, taken out of the packages.
        python3 - "$seeds" <<'PYTHON'
import pathlib, sys, zipfile
seeds = pathlib.Path(sys.argv[1])
for package in list(seeds.iterdir()):
    if package.suffix.lower() != '.xml':
        try:
            with zipfile.ZipFile(package) as archive:
                for number, part in enumerate(archive.infolist()):
                    if part.filename.lower().endswith('.xml') and part.file_size < 262144:
                        (seeds / f'{package.name}-{number}.xml').write_bytes(archive.read(part))
        except (zipfile.BadZipFile, OSError, RuntimeError, ValueError, EOFError):
            pass
        package.unlink()
PYTHON
    fi
    "$build/tests/fuzz/fuzz_$harness" "$build/fuzz-corpus-$format" "$seeds" \
        -max_total_time="$seconds" -max_len=262144 -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$build/crashes/$format-" -print_final_stats=1
}

fuzz workbook xls 'xls' "$root/tests/data" "$root/../shared/corpus"
fuzz workbook xlsx 'xlsx\|xlsm\|xltx' "$root/tests/data" "$root/../shared/corpus-ooxml"
fuzz workbook ods 'ods' "$root/tests/data" "$root/../shared/corpus-ooxml"
fuzz xml_reader xml 'xml\|xlsx\|xlsm\|xltx\|ods' "$root/tests/data" "$root/../shared/corpus-ooxml"
