#!/usr/bin/env bash
# Set-up, build, start and test in one place. Installs the Debian packages the build needs when
# they are missing (as root, or through sudo).
#   ./dev.sh start            build, start tessaly-receiver (unless port 8080 is taken) and Tessaly
#   ./dev.sh test             build and run the whole test suite
#   ./dev.sh test-sanitized   the test suite again under AddressSanitizer and UBSan
#   ./dev.sh fuzz SECONDS     fuzz the workbook reader (clang, ASan, UBSan)
#   ./dev.sh bench            build and run the benchmarks
#   ./dev.sh package          build the Debian package and check it and its desktop files
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgsf-1-dev libexpat1-dev libpugixml-dev
          fonts-ipafont-gothic python3 python3-xlrd python3-openpyxl python3-odf default-jdk-headless
          libjetty9-java icu-devtools qt6-translations-l10n libcpp-httplib-dev libssl-dev libpq-dev
          libsqlite3-dev libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-mysql libqt6sql6-odbc postgresql openssl)

install_missing() {
    local missing=() package
    for package in "${packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j"$(nproc)"
}

# Full stacks on allocation, so that the leak suppressions can match frames inside libraries built
# without frame pointers.
export_sanitizer_options() {
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0
    export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
}

run_tests() {
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$1" --output-on-failure -j"$(nproc)"
}

case "${1:-}" in
start)
    install_missing
    build build
    # The receiver behind the default URL, http://localhost:8080/servlets/Insert, writing
    # tessaly.sqlite here; one already listening on the port is left to serve.
    receiver=
    if ! (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; then
        build/src/receiver/tessaly-receiver --create-tables &
        receiver=$!
        trap 'kill "$receiver" 2>/dev/null; wait "$receiver" 2>/dev/null' EXIT
    fi
    build/src/app/tessaly
    ;;
test)
    install_missing
    build build
    run_tests build
    ;;
test-sanitized)
    install_missing
    build build-sanitized -DTESSALY_SANITIZE=ON
    export_sanitizer_options
    run_tests build-sanitized
    ;;
fuzz)
    install_missing clang libclang-rt-14-dev
    export_sanitizer_options
    tests/fuzz/run-fuzz.sh "${2:-60}"
    ;;
bench)
    install_missing gnumeric catdoc csvkit python3-psycopg2 time xlsx2csv python3-pandas
    build build
    cmake --build build --target run-bench
    ;;
package)
    install_missing dpkg-dev file lintian desktop-file-utils appstream
    build build
    rm -f build/tessaly_*.deb
    (cd build && cpack -G DEB)
    # Checks the files as shipped, unpacked from the package.
    unpacked=$(mktemp -d)
    trap 'rm -rf "$unpacked"' EXIT
    dpkg-deb -x build/tessaly_*.deb "$unpacked"
    lintian --fail-on error build/tessaly_*.deb
    desktop-file-validate "$unpacked"/usr/share/applications/*.desktop
    appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml
    ;;
*)
    sed -n '2,10p' "$0"
    exit 2
    ;;
esac
