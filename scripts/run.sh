#!/bin/sh
# Installs tolvar on this machine and starts the chat service for real: the programs, the
# service account "tolvar", an SSH daemon for it, the chat server, and a key for you.
# Run it as root on Debian 12. Running it again is harmless: what is there is kept.
#
# Settings (environment):
#   TOLVAR_PREFIX     where the programs go              (/usr/local)
#   TOLVAR_HOME       home of the service account         (/var/lib/tolvar)
#   TOLVAR_SSHD       private: an sshd of its own on loopback; system: a drop-in
#                     for this machine's sshd              (private)
#   TOLVAR_SSH_PORT   port of the private sshd             (2222)
#   TOLVAR_USER       your chat user name                  (the name you log in with)
#   TOLVAR_KEY        your private key file                (~/.ssh/id_ed25519 or made for you)
#   TOLVAR_BUILD_DIR  build directory                      (build)
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)

prefix=${TOLVAR_PREFIX:-/usr/local}
home_dir=${TOLVAR_HOME:-/var/lib/tolvar}
sshd_mode=${TOLVAR_SSHD:-private}
port=${TOLVAR_SSH_PORT:-2222}
build=${TOLVAR_BUILD_DIR:-build}
account=tolvar

say() { printf 'tolvar: %s\n' "$*"; }
die() { printf 'tolvar: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "run me as root (I create an account and configure sshd)"

# --- programs ---
./scripts/install-deps.sh
cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
cmake --install "$build" --prefix "$prefix" >/dev/null
tolvard="$prefix/bin/tolvard"
tolvaradm="$prefix/sbin/tolvaradm"
say "installed $tolvard and $tolvaradm"

# --- the service account: tolvard is its login shell ---
grep -qxF "$tolvard" /etc/shells 2>/dev/null || echo "$tolvard" >> /etc/shells
if getent passwd "$account" >/dev/null; then
    usermod -s "$tolvard" "$account"
else
    mkdir -p "$(dirname "$home_dir")"
    useradd --system --user-group --create-home --home-dir "$home_dir" --shell "$tolvard" "$account"
    say "created the account $account with home $home_dir"
fi
# No password, but not locked either: sshd refuses key logins to locked accounts.
usermod -p '*' "$account"
home_dir=$(getent passwd "$account" | cut -d: -f6)
mkdir -p "$home_dir"
chown "$account:" "$home_dir"
chmod 0755 "$home_dir"

# --- the chat server, as the account ---
# The server holds a write lock on its pid file for as long as it runs: a process that only
# has the recorded pid (a session, or one that has ended and is not reaped) is no server.
server_running() {
    [ -f "$home_dir/tolvard.pid" ] || return 1
    pid=$(head -n 1 "$home_dir/tolvard.pid")
    case $pid in '' | *[!0-9]*) return 1 ;; esac
    file=$(stat -L -c '%Hd %Ld %i' "$home_dir/tolvard.pid") || return 1
    # shellcheck disable=SC2086
    set -- $file
    grep -q "^[0-9]*: POSIX  *ADVISORY  *WRITE  *$pid  *$(printf '%02x:%02x' "$1" "$2"):$3 " /proc/locks
}
if server_running; then
    say "the chat server is running already (pid $(head -n 1 "$home_dir/tolvard.pid"))"
elif [ -d /run/systemd/system ]; then
    sed -e "s|@TOLVARD@|$tolvard|g" -e "s|@HOME@|$home_dir|g" dist/tolvard.service > /etc/systemd/system/tolvard.service
    systemctl daemon-reload
    systemctl enable --now tolvard.service
    say "started the chat server with systemd (tolvard.service)"
else
    # The log is opened by the account, not by root: its home is the account's to fill
    # with links.
    # shellcheck disable=SC2016
    setsid setpriv --reuid="$account" --regid="$account" --init-groups \
        env -i HOME="$home_dir" PATH=/usr/bin:/bin \
        sh -c 'cd "$HOME" && exec "$0" 2>>tolvard.log' "$tolvard" </dev/null >/dev/null &
    say "started the chat server in the background (errors go to $home_dir/tolvard.log)"
fi
i=0
until [ -S "$home_dir/socket" ] && server_running; do
    i=$((i + 1))
    [ $i -lt 100 ] || die "the chat server did not start; see $home_dir/tolvard.log"
    sleep 0.1
done

# --- the SSH daemon ---
ssh-keygen -A >/dev/null
mkdir -p /run/sshd
chmod 0755 /run/sshd
if [ "$sshd_mode" = system ]; then
    install -m 0644 dist/sshd-tolvar.conf /etc/ssh/sshd_config.d/tolvar.conf
    sshd -t
    if [ -d /run/systemd/system ]; then
        systemctl reload ssh.service 2>/dev/null || systemctl restart ssh.service
    elif [ -f /run/sshd.pid ] && kill -0 "$(cat /run/sshd.pid)" 2>/dev/null; then
        kill -HUP "$(cat /run/sshd.pid)"
    else
        /usr/sbin/sshd
    fi
    host=localhost
    port=22
    say "configured this machine's sshd for $account (/etc/ssh/sshd_config.d/tolvar.conf)"
else
    mkdir -p /etc/tolvar
    sed -e "s|@PORT@|$port|g" -e "s|@ACCOUNT@|$account|g" dist/sshd_config.private > /etc/tolvar/sshd_config
    /usr/sbin/sshd -t -f /etc/tolvar/sshd_config
    if [ -f /run/tolvar-sshd.pid ] && kill -0 "$(cat /run/tolvar-sshd.pid)" 2>/dev/null; then
        kill -HUP "$(cat /run/tolvar-sshd.pid)"
        say "reloaded the private sshd on 127.0.0.1 port $port"
    else
        /usr/sbin/sshd -f /etc/tolvar/sshd_config
        say "started a private sshd on 127.0.0.1 port $port"
    fi
    host=127.0.0.1
fi

# --- a key for the caller ---
caller=${SUDO_USER:-$(id -un)}
caller_home=$(getent passwd "$caller" | cut -d: -f6)
chat_user=${TOLVAR_USER:-$caller}
key=${TOLVAR_KEY:-}
if [ -z "$key" ]; then
    for k in id_ed25519 id_ecdsa id_rsa tolvar_ed25519; do
        if [ -f "$caller_home/.ssh/$k" ] && [ -f "$caller_home/.ssh/$k.pub" ]; then
            key="$caller_home/.ssh/$k"
            break
        fi
    done
fi
if [ -z "$key" ]; then
    key="$caller_home/.ssh/tolvar_ed25519"
    mkdir -p "$caller_home/.ssh"
    chmod 0700 "$caller_home/.ssh"
    ssh-keygen -q -t ed25519 -N '' -C "$chat_user@tolvar" -f "$key"
    chown "$caller:" "$caller_home/.ssh" "$key" "$key.pub"
    say "made a key for you: $key"
fi
[ -f "$key.pub" ] || die "no public key $key.pub beside $key"
blob=$(awk '{print $2}' "$key.pub")
if grep -qF "$blob" "$home_dir/.ssh/authorized_keys" 2>/dev/null; then
    say "your key is registered already"
else
    "$tolvaradm" adduser -f -a "$(cat "$key.pub")" "$chat_user"
    say "registered your key for the chat user $chat_user"
fi

# The caller knows the daemon's host key from now on.
known="$caller_home/.ssh/known_hosts"
hostspec=$host
[ "$port" = 22 ] || hostspec="[$host]:$port"
if ! ssh-keygen -F "$hostspec" -f "$known" >/dev/null 2>&1; then
    mkdir -p "$caller_home/.ssh"
    ssh-keyscan -p "$port" "$host" 2>/dev/null >> "$known" || true
    chown "$caller:" "$known" 2>/dev/null || true
fi

ssh_cmd="ssh -p $port -i $key"
[ "$caller" = "$(id -un)" ] || ssh_cmd="sudo -u $caller $ssh_cmd"
dest="$account@$host"

# A last check: the API must answer a handshake with PASS (type 0x80).
answer=$(printf '\000\000\000\011\001TOLVAR\000\001' |
         timeout 10 setpriv --reuid="$caller" --init-groups --regid="$(id -g "$caller")" \
             env HOME="$caller_home" ssh -o BatchMode=yes -p "$port" -i "$key" "$account@$host" api 2>/dev/null |
         head -c 5 | od -An -tx1 | tr -d ' \n') || true
if [ "${answer#000000}" != "$answer" ] && [ "${answer#*80}" != "$answer" ]; then
    say "the chat answers"
else
    say "warning: the API handshake through sshd got no answer; check the server and sshd"
fi

cat <<MSG

The chat is ready. You are $chat_user.
  chat:              $ssh_cmd -t $dest cli
  watch:             $ssh_cmd -t $dest log
  connect a program: $ssh_cmd -T $dest api
Add users:  $tolvaradm adduser -a "\$(cat their_key.pub)" NAME
MSG
