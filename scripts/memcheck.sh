#!/bin/sh
# Runs the whole test suite under valgrind's memcheck, by hand (it is slow; CI does not run it).
# Builds build-valgrind (RelWithDebInfo, or $MEMCHECK_BUILD_DIR) and runs ctest there with
#  - every test binary under memcheck (the build's test launcher; listing the tests is not), and
#  - every tolvard, tolvaradm and echo bot that the tests start under memcheck too, through
#    TOLVAR_TEST_WRAPPER, which the test support puts in front of them; the support's time-outs
#    grow tenfold (TOLVAR_TEST_TIME_SCALE) and the tests' ctest limits become one hour.
# The test support stops wrapped programs with SIGTERM instead of SIGKILL. Neither the server
# nor the sessions handle SIGTERM, so they die of its default action; memcheck sees that fatal
# signal and writes its leak check before the process goes. A server stopped that way has
# had all its clients leave or has them still connected: memory of the ones that left and was
# not freed is "definitely lost", memory of live connections is still reachable from the table.
# Every log is examined afterwards: any memcheck error, or any definitely lost block, fails
# the run; a log without a summary (a process killed outright, or one that ran another
# program) is listed as unchecked.
#
# Not under memcheck: programs that tests start through a shell, setpriv, or prlimit with a
# descriptor limit below 64, and programs that sshd starts (see wrapper_position in
# testing/support.cpp); the test binaries named in plain_tests below. The soak
# test runs apart, with 12 sessions for 20 s instead of 80 for 30 s.
#
#   ./scripts/memcheck.sh [ctest arguments, e.g. -R Server]
#
# Run as root, like scripts/test.sh; nice -n 10 is applied. The logs stay in
# build-valgrind/memcheck-logs.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

dir=${MEMCHECK_BUILD_DIR:-build-valgrind}
jobs=${MEMCHECK_JOBS:-2}
valgrind=$(command -v valgrind || true)
if [ -z "$valgrind" ]; then
    echo "memcheck: valgrind is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
logs=$dir/memcheck-logs
rm -rf "$logs"
mkdir -p "$logs"
chmod 1777 "$logs"	# the programs run as the tests' accounts

options="--leak-check=full --errors-for-leak-kinds=definite --error-exitcode=99 \
--show-leak-kinds=definite --num-callers=30 --child-silent-after-fork=yes --vgdb=no \
--suppressions=$root/scripts/valgrind.supp"

# (--vgdb=no: no gdbserver files in /tmp, which a process of another account with the same
# pid may have left behind and memcheck would then stop at.)
# Test binaries that run plainly (the programs they start are still checked), one reason each:
# - raises its own descriptor limit to 4096: memcheck keeps the hard limit of its program;
# - looks for a 2 MiB message in the output after every read: far too slow under memcheck;
# - two with an alarm every 2 ms: memcheck delivers the last one after the default action is
#   back, which ends the test.
plain_tests="ServerRobustness.ConnectionsBeyondTheLastWatchableDescriptorAreRefused"
plain_tests="$plain_tests CliScripted.BrokenStreamsEndWithStatusOne"
plain_tests="$plain_tests ReadFully.SignalsMidTransferDoNotChangeTheResult"
plain_tests="$plain_tests WriteFully.SignalsMidTransferDoNotChangeTheResult"

# The launcher of the test binaries (no spaces in paths: options are split at spaces).
launcher=$dir/memcheck-launcher
cat >"$launcher" <<EOF
#!/bin/sh
# Written by scripts/memcheck.sh: runs a test binary under memcheck, except to list its tests
# and for the tests named in the script.
for a in "\$@"; do
    case \$a in --gtest_list_tests) exec "\$@" ;; esac
    for t in $plain_tests; do
        [ "\$a" = "--gtest_filter=\$t" ] && exec "\$@"
    done
done
exec $valgrind $options --log-file=$logs/test.%p.log "\$@"
EOF
chmod 0755 "$launcher"

echo "== memcheck: build $dir"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVAR_WERROR=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$launcher" >/dev/null
nice -n 10 cmake --build "$dir" -j "$jobs"
# The tests' own time limits, far too short for test binaries under memcheck: one hour each.
find "$dir/tests" \( -name '*_tests.cmake' -o -name CTestTestfile.cmake \) \
    -exec sed -i -E 's/TIMEOUT "?[0-9]+"?/TIMEOUT "3600"/g' {} +

echo "== memcheck: ctest (logs in $logs)"
status=0
export TOLVAR_TEST_WRAPPER="$valgrind $options --log-file=$logs/prog.%p.log"
export TOLVAR_TEST_TIME_SCALE="${TOLVAR_TEST_TIME_SCALE:-10}"
# The soak tests are load runs (80 sessions, 30 s of traffic; 45 over three servers): the
# single-server one runs apart, smaller.
if ! (cd "$dir" && nice -n 10 ctest -j "$jobs" --output-on-failure --timeout 1800 -E '^soak' "$@"); then
    status=1
fi
if [ $# -eq 0 ] && [ -x "$dir/tests/soak/soak-test" ]; then
    echo "== memcheck: soak, 12 sessions for 20 s"
    if ! (cd "$dir" && nice -n 10 "$launcher" ./tests/soak/soak-test --sessions 12 --seconds 20); then
        status=1
    fi
fi

# Prints "ERRORS LOST HELD" for one log: memcheck errors that are not leaks, definitely lost
# blocks, and how many of those the write that a fatal signal interrupted still held. memcheck
# does not see the registers of a program that a signal ends inside write() (SIGPIPE, or the
# support's SIGTERM), so a buffer that only a register pointed to (the packet being sent)
# shows as lost. Such a block was allocated under the same calls, from the same call sites up
# to main, as the interrupted write; it is listed, and is not a finding. A process that dies
# anywhere else (the server in its readiness wait) has no such excuse.
examine() {
    awk '
    function frame(s) { sub(/^==[0-9]+== +(at|by) 0x[0-9A-Fa-f]+: /, "", s); return s }
    function fname(s) { sub(/ \([^()]*\)$/, "", s); return s }
    function held(   i, j, k, same) {
        if (nt == 0 || fname(T[0]) !~ /^(__libc_)?(write|writev|send|sendto|sendmsg)$/)
            return 0
        for (i = 1; i < nt; i++)
            for (j = 0; j < na; j++) {
                if (fname(T[i]) != fname(A[j]) || nt - i != na - j)
                    continue
                same = 1
                for (k = 1; i + k < nt; k++)
                    if (T[i + k] != A[j + k])
                        same = 0
                if (same)
                    return 1
            }
        return 0
    }
    function end_record() { if (inA) { lost++; if (held()) kept++ } inA = 0 }
    /Process terminating with default action of signal/ { inT = 1; nt = 0; next }
    /are definitely lost in loss record/ { end_record(); inA = 1; na = 0; next }
    /^==[0-9]+== +(at|by) 0x/ {
        if (inT) T[nt++] = frame($0)
        else if (inA) A[na++] = frame($0)
        next
    }
    { inT = 0; end_record() }
    /ERROR SUMMARY: / { errors = $4 }
    END { end_record(); print errors - lost, lost + 0, kept + 0 }
    ' "$1"
}

echo "== memcheck: logs"
checked=0 unchecked=0 bad=0 held=0
for log in "$logs"/*.log; do
    [ -e "$log" ] || continue
    # Empty: a fork child that was silent until it ran another program.
    [ -s "$log" ] || continue
    what=$(sed -n 's/^==[0-9]*== Command: //p' "$log" | head -n 1)
    if ! grep -q 'ERROR SUMMARY:' "$log"; then
        unchecked=$((unchecked + 1))
        echo "unchecked (no summary): $(basename "$log") $what"
        continue
    fi
    checked=$((checked + 1))
    set -- $(examine "$log")
    if [ "$1" -gt 0 ] || [ "$2" -gt "$3" ]; then
        bad=$((bad + 1))
        echo "FINDING: $log ($what): $1 errors, $2 blocks definitely lost ($3 held by an interrupted call)"
    elif [ "$3" -gt 0 ]; then
        held=$((held + 1))
        echo "held by the call a signal interrupted: $log ($what): $3 blocks"
    fi
done
echo "memcheck: $checked logs checked, $bad with findings, $held with blocks held by an interrupted call," \
    "$unchecked without a summary"
[ "$bad" -eq 0 ] || status=1
exit $status
