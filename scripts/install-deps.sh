#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, when missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config g++ clang-format
  nlohmann-json3-dev libgtest-dev libxml2-dev libssl-dev libp11-kit-dev libicu-dev
  p11-kit openssl xmlsec1 softhsm2 libnss3 libnss3-tools opensc clang-14 libfuzzer-14-dev valgrind
  sqlite3
)
if [ "$#" -gt 0 ]; then
  packages+=("$@")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root (or install them with: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
