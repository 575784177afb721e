#!/bin/sh
# Runs the five benchmarks on a Release build in build-bench and writes their tables
# (markdown, ready to paste into docs/performance.md) to standard output and to a file.
#   scripts/bench.sh [output-file]        (default: build-bench/bench-results.md)
# Extra arguments for one program: FANOUT_ARGS (default --flood --servers 3), LATENCY_ARGS
# (default --servers 3), MEMORY_ARGS, LOGINS_ARGS, FLOOD_ARGS.
# Needs root: the benchmarks create throw-away accounts and start sshd, ngircd and a private
# NATS cluster.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
out=${1:-$build/bench-results.md}

if [ "$(id -u)" -ne 0 ]; then
    echo "bench.sh: run as root" >&2
    exit 1
fi

# Standard output carries the tables only; what the preparation says goes to standard error.
sh "$root/scripts/install-deps.sh" >&2
sh "$root/scripts/install-bench-deps.sh" >&2

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >&2
targets="tolvard tolvaradm fanout latency memory logins flood"
# The server built with one write per recipient, where the build has it.
if cmake --build "$build" --target help | grep -q 'tolvard-direct-sends'; then
    targets="$targets tolvard-direct-sends"
fi
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets >&2

busy=$(pgrep -af 'fuzz-|cc1plus|ctest' | grep -v "pgrep" || true)
if [ -n "$busy" ]; then
    echo "bench.sh: other heavy work is running; the figures will show it:" >&2
    echo "$busy" | cut -c1-120 | sed 's/^/    /' >&2
fi

mkdir -p "$(dirname "$out")"
{
    echo "Run on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)."
    for program in fanout latency memory logins flood; do
        case $program in
        fanout) args=${FANOUT_ARGS---flood --servers 3} ;;
        flood) args=${FLOOD_ARGS:-} ;;
        latency) args=${LATENCY_ARGS---servers 3} ;;
        memory) args=${MEMORY_ARGS:-} ;;
        logins) args=${LOGINS_ARGS:-} ;;
        esac
        echo
        echo "### $program"
        echo
        echo "\`build-bench/bench/$program${args:+ $args}\`"
        echo
        # shellcheck disable=SC2086
        "$build/bench/$program" $args || echo "($program failed with status $?)"
    done
} | tee "$out"
echo "bench.sh: tables written to $out" >&2
