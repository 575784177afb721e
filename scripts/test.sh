#!/bin/sh
# Installs what the tests need, builds tolvar twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer), and runs every test in both builds. Run as root: the tests
# create accounts, a private system log and an SSH daemon of their own. CTest runs the Python
# client's tests too, and, in the plain build only, builds the Debian package and tries it in
# a scratch root (tests/e2e/debian-package.sh).
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
status=0

run_build() {
    dir=$1
    shift
    echo "== build $dir ($*)"
    cmake -S . -B "$dir" -DTOLVAR_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== test $dir"
    if ! (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600); then
        status=1
    fi
}

run_build build
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    run_build build-sanitize -DTOLVAR_SANITIZE=ON
./scripts/lint.sh || status=1
./scripts/fuzz.sh 30 || status=1

exit $status
