#!/bin/sh
# Builds the Debian package with scripts/build-deb.sh, checks it with lintian, and installs it
# as an administrator would on a Debian host, in a scratch root: private mount, network and
# process namespaces whose /usr and /var are copy-on-write layers over the host's, with their
# own /etc and /run, so that the host keeps its packages, accounts and daemons. There it
# registers keys with the installed tolvaradm, starts the installed server as the unit says,
# turns the sshd drop-in on with the documented step, chats through the system's sshd
# configuration, and removes, installs again and purges the package, checking what each
# leaves.
#
# debian-package.sh SOURCE-DIR OUTPUT-DIR
set -eu
src=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)

echo "== build the package"
deb=$(TOLVAR_DEB_DIR="$out" sh "$src/scripts/build-deb.sh" | tail -n 1)
echo "$deb"

echo "== lintian"
status=0
lintian --display-info --pedantic --fail-on error "$out"/tolvar_*.changes > "$out/lintian.out" 2>&1 || status=$?
grep -v 'root privileges' "$out/lintian.out" || true
[ $status -eq 0 ] || { echo "lintian reports errors"; exit 1; }

# The scratch root's account may get a user id that a test's account "tolvar" has on the host,
# whose clean-up kills that user's processes: one at a time, as the test support keeps them.
exec 9>/tmp/tolvar-test-account-tolvar.lock
flock 9

scratch=$(mktemp -d /tmp/tolvar-debpkg-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
chmod 0755 "$scratch"
# Other tests may be adding accounts meanwhile: their lock files come and go.
cp -a /etc "$scratch/etc" 2>/dev/null || true
rm -f "$scratch"/etc/*.lock "$scratch"/etc/*+
# A fresh host: no account, configuration or unit of an earlier installation.
sed -i '/^tolvar:/d' "$scratch/etc/passwd" "$scratch/etc/shadow" "$scratch/etc/group" "$scratch/etc/gshadow"
sed -i '/tolvard$/d' "$scratch/etc/shells"
rm -rf "$scratch/etc/tolvar" "$scratch/etc/ssh/sshd_config.d/tolvar.conf" \
    "$scratch/etc/systemd/system/tolvard.service" "$scratch/etc/systemd/system/multi-user.target.wants/tolvard.service"
mkdir -m 0700 "$scratch/root" "$scratch/keys"
mkdir "$scratch/layers"

export src deb scratch
unshare --mount --net --pid --fork --mount-proc sh -eu -c '
mount --make-rprivate /
mount -t tmpfs tmpfs "$scratch/layers"
for d in usr var; do
    mkdir "$scratch/layers/$d" "$scratch/layers/$d.work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$scratch/layers/$d,workdir=$scratch/layers/$d.work" "/$d"
done
mount --bind "$scratch/etc" /etc
mount -t tmpfs tmpfs /run
ip link set lo up
export HOME="$scratch/root" PATH=/usr/sbin:/usr/bin:/sbin:/bin
rm -rf /var/lib/tolvar
if dpkg-query -W -f="\${Status}" tolvar 2>/dev/null | grep -q installed; then dpkg --purge tolvar >/dev/null; fi

fail() { echo "FAILED: $*"; exit 1; }
check() { what=$1; shift; "$@" || fail "$what"; echo "ok: $what"; }
shadow_password() { getent shadow tolvar | cut -d: -f2; }
field() { getent passwd tolvar | cut -d: -f"$1"; }

echo "== install"
dpkg -i "$deb" > "$scratch/install.out" 2>&1 || { cat "$scratch/install.out"; fail "dpkg -i"; }
check "tolvard in /usr/bin, tolvaradm in /usr/sbin" test -x /usr/bin/tolvard -a -x /usr/sbin/tolvaradm
check "man pages" test -f /usr/share/man/man8/tolvard.8.gz -a -f /usr/share/man/man8/tolvaradm.8.gz
check "copyright and changelog" test -f /usr/share/doc/tolvar/copyright -a -f /usr/share/doc/tolvar/changelog.gz
check "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/tolvard.service
check "a system account" test "$(field 3)" -lt 1000
check "home /var/lib/tolvar, shell tolvard" test "$(field 6):$(field 7)" = /var/lib/tolvar:/usr/bin/tolvard
check "no password, not locked" test "$(shadow_password)" = "*"
check "the home is the account'"'"'s, not writable by others" \
    test "$(stat -c "%U %a" /var/lib/tolvar)" = "tolvar 755"
check "no .ssh/rc" test ! -e /var/lib/tolvar/.ssh/rc
check "tolvard is a login shell" grep -qx /usr/bin/tolvard /etc/shells
check "the sshd drop-in is a conffile" sh -c "dpkg-query -W -f=\"\\\${Conffiles}\" tolvar | grep -q /etc/tolvar/sshd-tolvar.conf"

echo "== keys and the message of the day, with the installed tolvaradm"
for u in alice bob; do
    ssh-keygen -q -t ed25519 -N "" -C "$u" -f "$scratch/keys/$u"
    /usr/sbin/tolvaradm adduser -f -a "$(cat "$scratch/keys/$u.pub")" "$u"
done
/usr/sbin/tolvaradm setmotd -m "Welcome to the packaged chat"
check "listuser names both users" sh -c "/usr/sbin/tolvaradm listuser | grep -q alice && /usr/sbin/tolvaradm listuser | grep -q bob"

echo "== the server, started as the unit says"
unit=/lib/systemd/system/tolvard.service
user=$(sed -n "s/^User=//p" $unit)
dir=$(sed -n "s/^WorkingDirectory=//p" $unit)
home=$(sed -n "s/^Environment=HOME=//p" $unit)
exe=$(sed -n "s/^ExecStart=//p" $unit)
check "the unit runs /usr/bin/tolvard as tolvar in its home" \
    test "$user:$dir:$home:$exe" = tolvar:/var/lib/tolvar:/var/lib/tolvar:/usr/bin/tolvard
setpriv --reuid="$user" --regid="$user" --init-groups env -i HOME="$home" PATH=/usr/bin:/bin \
    sh -c "cd \"\$1\" && exec \"\$2\"" sh "$dir" "$exe" </dev/null >"$scratch/server.out" 2>&1 &
server=$!
i=0
until [ -S /var/lib/tolvar/socket ]; do
    i=$((i + 1)); [ $i -lt 100 ] || { cat "$scratch/server.out"; fail "the server did not start"; }
    sleep 0.1
done

echo "== the documented step turns the drop-in on; the system sshd configuration"
ln -s /etc/tolvar/sshd-tolvar.conf /etc/ssh/sshd_config.d/tolvar.conf
ssh-keygen -A >/dev/null
mkdir -p /run/sshd
check "sshd -t" /usr/sbin/sshd -t
check "the account reads .ssh/authorized_keys alone" \
    sh -c "/usr/sbin/sshd -T -C user=tolvar,host=x,addr=127.0.0.1 | grep -qx \"authorizedkeysfile .ssh/authorized_keys\""
/usr/sbin/sshd

echo "== chat through sshd with the Python client"
PYTHONPATH="$src/clients/python" /usr/bin/python3 -B - "$scratch/keys" <<PY || fail "the chat"
import sys
import tolvarapi

keys = sys.argv[1]

def connect(user):
    return tolvarapi.Client.connect_ssh("tolvar@127.0.0.1", [
        "-F", "/dev/null", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
        "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", "-i", keys + "/" + user])

def wait_for(client, match):
    while True:
        event = client.read_event(timeout=20)
        assert event is not None, "the session ended"
        if match(event):
            return event

with connect("alice") as alice:
    assert alice.handshake(timeout=20) == tolvarapi.Pass(2, "alice")
    assert alice.read_event(timeout=20) == tolvarapi.Motd(b"Welcome to the packaged chat\n")
    with connect("bob") as bob:
        bob.handshake(timeout=20)
        wait_for(alice, lambda e: e == tolvarapi.UserState(True, "bob"))
        bob.send_message("GLOBAL", "hello from the package")
        m = wait_for(alice, lambda e: isinstance(e, tolvarapi.Message))
        assert (m.sender, m.recipient, m.text) == ("bob", "GLOBAL", b"hello from the package"), m
        print("alice got:", m)
    wait_for(alice, lambda e: e == tolvarapi.UserState(False, "bob"))
PY
kill "$server"
wait "$server" 2>/dev/null || true

echo "== remove"
dpkg -r tolvar > "$scratch/remove.out" 2>&1 || { cat "$scratch/remove.out"; fail "dpkg -r"; }
check "the programs are gone" test ! -e /usr/bin/tolvard -a ! -e /usr/sbin/tolvaradm
check "the account stays, locked" sh -c "getent shadow tolvar | cut -d: -f2 | grep -q \"^!\""
check "its keys and message of the day stay" \
    sh -c "grep -q alice /var/lib/tolvar/.ssh/authorized_keys && test -s /var/lib/tolvar/motd"
check "the configuration stays" test -f /etc/tolvar/sshd-tolvar.conf
check "sshd -t" /usr/sbin/sshd -t
check "tolvard is no login shell" sh -c "! grep -q tolvard /etc/shells"

echo "== install again: the account opens, the keys are there"
dpkg -i "$deb" > "$scratch/install2.out" 2>&1 || { cat "$scratch/install2.out"; fail "dpkg -i again"; }
check "no password, not locked" test "$(shadow_password):$(field 7)" = "*:/usr/bin/tolvard"
check "no expiry" test -z "$(getent shadow tolvar | cut -d: -f8)"
check "the keys are kept" sh -c "/usr/sbin/tolvaradm listuser | grep -q alice"

echo "== an upgrade keeps the account as the administrator left it"
usermod --lock tolvar
dpkg -i "$deb" > "$scratch/install3.out" 2>&1 || { cat "$scratch/install3.out"; fail "dpkg -i over itself"; }
check "still locked" test "$(shadow_password)" = "!*"

echo "== purge"
dpkg -P tolvar > "$scratch/purge.out" 2>&1 || { cat "$scratch/purge.out"; fail "dpkg -P"; }
check "the home is gone" test ! -e /var/lib/tolvar
check "the configuration is gone" test ! -e /etc/tolvar/sshd-tolvar.conf
check "the drop-in link is gone" test ! -L /etc/ssh/sshd_config.d/tolvar.conf
check "sshd -t" /usr/sbin/sshd -t
check "the unit is no longer enabled" test ! -e /etc/systemd/system/multi-user.target.wants/tolvard.service
check "the account stays, locked" sh -c "getent shadow tolvar | cut -d: -f2 | grep -q \"^!\""
check "dpkg forgets the package" sh -c "! dpkg-query -W -f=\"\\\${Status}\" tolvar 2>/dev/null | grep -q installed"
echo "== the package works"
'
