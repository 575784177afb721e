#!/bin/sh
# Installs what the benchmarks compare against: ngircd, the IRC server that bench/fanout
# runs as its reference peer. The benchmark starts its own copy with its own configuration;
# the system's service stays stopped and disabled. Safe to run again; never asks a question.
set -eu

export DEBIAN_FRONTEND=noninteractive

if [ "$(id -u)" -ne 0 ]; then
    echo "install-bench-deps: run as root" >&2
    exit 1
fi

if ! dpkg-query -W -f='${Status}' ngircd 2>/dev/null | grep -q 'install ok installed'; then
    # Keep the package's maintainer scripts from starting the daemon.
    policy=/usr/sbin/policy-rc.d
    saved=""
    if [ -e "$policy" ]; then
        saved=$(mktemp)
        cp -p "$policy" "$saved"
    fi
    restore_policy() {
        if [ -n "$saved" ]; then
            mv -f "$saved" "$policy"
        else
            rm -f "$policy"
        fi
    }
    trap restore_policy EXIT
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 0755 "$policy"
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends ngircd
    restore_policy
    trap - EXIT
fi

# Whatever the package did, no system ngircd runs or starts at boot.
# systemctl disables unit and init script links also when systemd is not running.
if command -v systemctl >/dev/null 2>&1; then
    if [ -d /run/systemd/system ]; then
        systemctl disable --now ngircd.service >/dev/null 2>&1 || true
    else
        systemctl disable ngircd.service >/dev/null 2>&1 || true
    fi
elif command -v update-rc.d >/dev/null 2>&1; then
    update-rc.d ngircd disable >/dev/null 2>&1 || true
fi
if [ -x /etc/init.d/ngircd ]; then
    /etc/init.d/ngircd stop >/dev/null 2>&1 || true
fi
if [ -f /run/ngircd/ngircd.pid ]; then
    pid=$(cat /run/ngircd/ngircd.pid 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
    fi
fi
echo "install-bench-deps: ngircd present ($(command -v ngircd || echo /usr/sbin/ngircd))"
