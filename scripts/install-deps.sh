#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the fuzzers need, when missing.
set -euo pipefail

# lzop, mtd-utils (mkfs.ubifs, mkfs.jffs2), squashfs-tools, zip, gzip, git and netpbm
# (pnmtopng) build the real containers that the triage tests judge the verdicts on; chromium
# renders the --map pictures that the map's test reads the pixels of.
packages=(build-essential cmake pkg-config liblzo2-dev libucl-dev libgtest-dev zlib1g-dev clang libclang-rt-dev groff-base
          lzop mtd-utils squashfs-tools zip gzip git netpbm chromium)

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo_cmd=()
elif command -v sudo >/dev/null 2>&1; then
  sudo_cmd=(sudo)
else
  echo "error: missing packages (${missing[*]}) and neither root nor sudo is available;" >&2
  echo "       install them with apt-get, then run this again." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
