#!/usr/bin/env bash
# Installs what building and testing both targets needs on Debian 12 (run as root).
# Safe to re-run: it only installs packages that are missing.
set -euo pipefail

packages=(cmake ninja-build g++-multilib g++-mingw-w64-i686 wine wine32:i386
          libsqlite3-dev:i386 libbenchmark-dev:i386 googletest sqlite3 pkgconf)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
