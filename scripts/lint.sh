#!/bin/sh
# Static checks over tolvar's sources: clang-tidy with the checks in .clang-tidy, and cppcheck
# (warning, performance, portability) with the project's include path. Makes its own
# compile_commands.json in build-lint (or $LINT_BUILD_DIR). Exits 1 on any finding.
set -eu
cd "$(dirname "$0")/.."

dir=${LINT_BUILD_DIR:-build-lint}
jobs=$(nproc 2>/dev/null || echo 2)

for tool in clang-tidy cppcheck; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "lint: $tool is missing (scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
done

# The programs' own sources; tests, benchmarks and fuzz targets are not linted.
sources=$(find common protocol tolvard server client api cli admin -name '*.cpp' | LC_ALL=C sort)

echo "== lint: compile commands in $dir"
cmake -S . -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTOLVAR_TESTS=OFF >/dev/null

status=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT

echo "== lint: clang-tidy"
# One file per run: clang-tidy 14's analyzer carries state from one file into the next.
# shellcheck disable=SC2086
if ! printf '%s\n' $sources | xargs -P "$jobs" -n 1 clang-tidy -p "$dir" --quiet >"$out" 2>&1; then
    status=1
fi
# clang-tidy prints a count of its warnings on stderr even when quiet; keep the findings.
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?(generated|treated as errors)\.?$' "$out" || true

echo "== lint: cppcheck"
# Every process has one thread: the non-reentrant user-database and terminal calls are safe.
# shellcheck disable=SC2086
if ! cppcheck --quiet --error-exitcode=1 -j "$jobs" --std=c++17 --language=c++ \
        --enable=warning,performance,portability --library=posix --library=gnu --inline-suppr \
        --suppress=getpwnamCalled --suppress=getpwuidCalled --suppress=ttynameCalled \
        -I . -D_GNU_SOURCE -DLOCALEDIR='"/usr/share/locale"' \
        --template='{file}:{line}: {severity}: {message} [{id}]' $sources; then
    status=1
fi

if [ "$status" -ne 0 ]; then
    echo "lint: findings above" >&2
else
    echo "lint: clean"
fi
exit $status
