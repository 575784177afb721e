#!/bin/sh
# Installs tolvar and starts the chat service on this machine.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"
cmake --install build --prefix /usr/local
echo "tolvard and tolvaradm are installed under /usr/local."
echo "Not ready yet: the service account, the SSH daemon set-up and the chat itself."
