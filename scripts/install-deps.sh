#!/bin/sh
# Installs every Debian package that tolvar needs to build, run and test.
# Safe to run again; never asks a question.
set -eu

export DEBIAN_FRONTEND=noninteractive

PACKAGES="
    build-essential cmake g++ pkg-config git
    libreadline-dev libmhash-dev gettext
    googletest libgtest-dev libgmock-dev
    openssh-server openssh-client
    elinks xclip xvfb xauth tmux
    clang libclang-rt-14-dev clang-tidy cppcheck valgrind
    passwd util-linux procps psmisc iproute2 locales
    debhelper dpkg-dev fakeroot lintian python3
    python3-prometheus-client
    nats-server libnats-dev
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: these packages are missing and only root can install them:$missing" >&2
        exit 1
    fi
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi

# The tests convert between UTF-8, Latin-1 and EUC-JP sessions: make the locales exist.
if [ "$(id -u)" -eq 0 ] && command -v locale-gen >/dev/null 2>&1; then
    need_gen=0
    for l in "en_US.UTF-8 UTF-8" "en_US.ISO-8859-1 ISO-8859-1" "ja_JP.EUC-JP EUC-JP"; do
        if ! grep -qx "$l" /etc/locale.gen 2>/dev/null; then
            echo "$l" >> /etc/locale.gen
            need_gen=1
        fi
    done
    if ! locale -a 2>/dev/null | grep -qi '^en_US.utf8$' || \
       ! locale -a 2>/dev/null | grep -qi '^en_US.iso88591$' || \
       ! locale -a 2>/dev/null | grep -qi '^ja_JP.eucjp$'; then
        need_gen=1
    fi
    if [ "$need_gen" -eq 1 ]; then
        locale-gen >/dev/null
    fi
fi
echo "install-deps: all packages present"
