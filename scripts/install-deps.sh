#!/usr/bin/env bash
# Installs the Debian packages that building and testing qst need, when they
# are missing. Safe to run again.
set -euo pipefail

packages=(g++ cmake make pkg-config time clang-format clang libclang-rt-14-dev libgtest-dev libtsk-dev sleuthkit libvshadow-dev libbfio-dev libvshadow-utils ewf-tools qemu-utils ntfs-3g fdisk strace python3 g++-mingw-w64-x86-64-posix wine wine64 jq sqlite3 chromium xxd man-db groff-base dpkg-dev lintian python3-yaml dosfstools mtools exfatprogs exfat-fuse)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
