#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz and runs each of them for a while on a
# copy of its seed corpus (fuzz/corpus/<name>/; nothing new is written there). Fails when a
# target finds a crash, a leak, a time-out or an invariant that does not hold.
#
#   scripts/fuzz.sh [seconds [name...]]
#
# seconds: time per target (default 30). names: targets without the "fuzz-" prefix (default:
# all). FUZZ_NO_BUILD=1 runs what build-fuzz holds. FUZZ_JOBS: targets run at the same time (default 2). FUZZ_WORK: where corpora, logs and
# findings go (default: a new directory under /tmp, removed when nothing was found).
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-30}
[ $# -gt 0 ] && shift
jobs=${FUZZ_JOBS:-2}

# name and the largest input worth trying
TARGETS="
local-packet 8192
server 8192
history-file 16384
admin-protocol 8192
bus-message 8192
api-packet 8192
api-stdin 8192
api-translation 8192
key-entry 16384
base64 4096
preferences 4096
command-words 2048
render 4096
"

if [ -z "${FUZZ_NO_BUILD:-}" ]; then
    echo "== build build-fuzz (clang, libFuzzer, ASan, UBSan)"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTOLVAR_FUZZ=ON -DTOLVAR_TESTS=OFF -DTOLVAR_WERROR=ON >/dev/null
    cmake --build build-fuzz -j 2 --target tolvar_fuzz_targets
fi

keep=0
if [ -n "${FUZZ_WORK:-}" ]; then
    work=$FUZZ_WORK
    mkdir -p "$work"
    keep=1
else
    work=$(mktemp -d /tmp/tolvar-fuzz.XXXXXX)
fi

max_len_of() {
    echo "$TARGETS" | while read -r n len; do
        if [ "$n" = "$1" ]; then
            echo "$len"
        fi
    done
}

if [ $# -gt 0 ]; then
    names="$*"
else
    names=$(echo "$TARGETS" | while read -r n len; do
        if [ -n "$n" ]; then
            echo "$n"
        fi
    done)
fi

# Runs one target; its log is $work/<name>.log, its findings $work/<name>-crash-... and so on.
run_one() {
    name=$1
    len=$(max_len_of "$name")
    if [ -z "$len" ] || [ ! -x "build-fuzz/fuzz/fuzz-$name" ] || [ ! -d "fuzz/corpus/$name" ]; then
        echo "fuzz: no target or corpus named $name" >&2
        return 1
    fi
    rm -rf "$work/corpus-$name" "$work/tmp-$name"
    cp -r "fuzz/corpus/$name" "$work/corpus-$name"
    mkdir -p "$work/tmp-$name"
    # -close_fd_mask=3: the code under test talks a lot on its standard streams; libFuzzer
    # and the sanitizers keep a descriptor of their own for their reports.
    if TMPDIR="$work/tmp-$name" "build-fuzz/fuzz/fuzz-$name" -max_total_time="$seconds" -max_len="$len" \
        -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$work/$name-" "$work/corpus-$name" >"$work/$name.log" 2>&1; then
        files=$(find "$work/corpus-$name" -type f | wc -l)
        line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$name.log" | tail -n 1)
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$name.log")
        echo "fuzz-$name: ok, $execs runs, $rate/s, corpus $files files; $line"
        rm -rf "$work/tmp-$name"
        return 0
    fi
    echo "fuzz-$name: FAILED (log $work/$name.log)"
    grep -E 'ERROR|SUMMARY|invariant|Test unit written|^ *#[0-9]+ 0x' "$work/$name.log" | head -n 40
    return 1
}

echo "== fuzz $seconds s per target, $jobs at a time, in $work"
status=0
running=0
pids=""
for name in $names; do
    run_one "$name" &
    pids="$pids $!"
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        for p in $pids; do
            wait "$p" || status=1
        done
        pids=""
        running=0
    fi
done
for p in $pids; do
    wait "$p" || status=1
done

if [ "$status" -eq 0 ] && [ "$keep" -eq 0 ]; then
    rm -rf "$work"
elif [ "$status" -ne 0 ]; then
    echo "fuzz: findings and logs are kept in $work" >&2
fi
exit $status
