#!/bin/sh
# Runs the README's run command as a newcomer would on a fresh machine, in a scratch root:
# private mount, network and process namespaces with their own /etc, /usr/local and /run,
# so that the host keeps its accounts, programs and daemons. Then it chats with the
# commands that the script printed.
set -eu
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
scratch=$(mktemp -d /tmp/tolvar-quickstart-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
chmod 0755 "$scratch"
# Other tests may be adding accounts meanwhile: their lock files come and go.
cp -a /etc "$scratch/etc" 2>/dev/null || true
rm -f "$scratch"/etc/*.lock "$scratch"/etc/*+
mkdir -m 0700 "$scratch/root"
# In the scratch root, root's home is a fresh directory, and there is no tolvar account.
sed -i "s#^root:\([^:]*\):0:0:\([^:]*\):[^:]*:#root:\1:0:0:\2:$scratch/root:#" "$scratch/etc/passwd"
sed -i '/^tolvar:/d' "$scratch/etc/passwd" "$scratch/etc/shadow" "$scratch/etc/group" "$scratch/etc/gshadow"

export src build scratch
unshare --mount --net --pid --fork --mount-proc sh -eu -c '
mount --make-rprivate /
mount --bind "$scratch/etc" /etc
mount -t tmpfs tmpfs /usr/local
mount -t tmpfs tmpfs /run
ip link set lo up
export HOME="$scratch/root"

echo "== the run command"
TOLVAR_HOME=/run/tolvar TOLVAR_BUILD_DIR="$build" TOLVAR_USER=newcomer \
    sh "$src/scripts/run.sh" > "$scratch/run.out" 2>&1 || { cat "$scratch/run.out"; exit 1; }
cat "$scratch/run.out"
grep -q "the chat answers" "$scratch/run.out"

watch=$(sed -n "s/^ *watch: *//p" "$scratch/run.out")
program=$(sed -n "s/^ *connect a program: *//p" "$scratch/run.out")
[ -n "$watch" ] && [ -n "$program" ]

echo "== run it twice: harmless"
TOLVAR_HOME=/run/tolvar TOLVAR_BUILD_DIR="$build" TOLVAR_USER=newcomer \
    sh "$src/scripts/run.sh" > "$scratch/run2.out" 2>&1 || { cat "$scratch/run2.out"; exit 1; }
grep -q "running already" "$scratch/run2.out"
grep -q "registered already" "$scratch/run2.out"
[ "$(grep -c newcomer /run/tolvar/.ssh/authorized_keys)" -eq 1 ]

echo "== a restart beside a log link that the account planted: root does not follow it"
pid=$(head -n 1 /run/tolvar/tolvard.pid)
kill "$pid"
i=0
while grep -q "WRITE *$pid " /proc/locks; do
    i=$((i + 1)); [ $i -lt 200 ] || { echo "the server does not end"; exit 1; }
    sleep 0.1
done
mkdir -m 0755 /run/root-only
setpriv --reuid=tolvar --regid=tolvar --init-groups ln -sfn /run/root-only/planted.log /run/tolvar/tolvard.log
TOLVAR_HOME=/run/tolvar TOLVAR_BUILD_DIR="$build" TOLVAR_USER=newcomer \
    sh "$src/scripts/run.sh" > "$scratch/run3.out" 2>&1 || true
[ ! -e /run/root-only/planted.log ] || { echo "root followed the link"; cat "$scratch/run3.out"; exit 1; }
# The account cannot create the file the link names, so the server has no log and does not start.
grep -q "did not start" "$scratch/run3.out" || { cat "$scratch/run3.out"; exit 1; }
rm /run/tolvar/tolvard.log
TOLVAR_HOME=/run/tolvar TOLVAR_BUILD_DIR="$build" TOLVAR_USER=newcomer \
    sh "$src/scripts/run.sh" > "$scratch/run4.out" 2>&1 || { cat "$scratch/run4.out"; exit 1; }
grep -q "started the chat server" "$scratch/run4.out"
[ "$(stat -c %U /run/tolvar/tolvard.log)" = tolvar ]

echo "== the printed commands: a program greets the log view"
# The log view wants no terminal here: -t becomes -T.
watch=$(echo "$watch" | sed "s/ -t / -T /")
sleep 600 | $watch > "$scratch/log.out" 2>&1 &
i=0
until grep -q newcomer "$scratch/log.out"; do	# its own user-online line
    i=$((i + 1)); [ $i -lt 200 ] || { echo "log view shows nothing"; cat "$scratch/log.out"; exit 1; }
    sleep 0.1
done
pass=$( { printf "\000\000\000\011\001TOLVAR\000\001"
          printf "\000\000\000\035\003\006GLOBAL\001\000\000\000\020hello, everybody"; } |
        timeout 20 $program > "$scratch/api.out"; head -c 22 "$scratch/api.out" | od -An -tx1 | tr -d " \n")
echo "PASS packet: $pass"
hex() { printf %s "$1" | od -An -tx1 | tr -d " \n"; }
[ "$pass" = "0000001280$(hex TOLVAR)000108$(hex newcomer)" ]
i=0
until grep -q "hello, everybody" "$scratch/log.out"; do
    i=$((i + 1)); [ $i -lt 200 ] || { echo "the message did not arrive"; cat "$scratch/log.out"; exit 1; }
    sleep 0.1
done
cat "$scratch/log.out"
echo "== the chat works"
'
