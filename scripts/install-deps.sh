#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, when missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config g++ clang-format
  nlohmann-json3-dev libsimdjson-dev libgtest-dev libxml2-dev libssl-dev libp11-kit-dev libicu-dev
  p11-kit openssl xmlsec1 softhsm2 libnss3 libnss3-tools opensc clang-14 libfuzzer-14-dev
  dpkg-dev lintian rpm sqlite3
)
# Optional passes. The real approval dialog test needs a virtual display, the GTK pinentry, typing
# and screenshots; without them that one test skips, so failing to install them stops nothing else.
if [ -z "${KIVO_DEPS_OPTIONAL_PASS:-}" ]; then
  KIVO_DEPS_OPTIONAL_PASS=1 "$0" xvfb pinentry-gtk2 xdotool x11-apps netpbm ||
    echo "!!! the dialog packages could not be installed: ctest gui_pinentry_dialog will be SKIPPED !!!" >&2
  # A software TPM, its resource manager and the TPM's PKCS#11 module and tools: the TPM token
  # test signs with them; without them only that test skips.
  KIVO_DEPS_OPTIONAL_PASS=1 "$0" swtpm swtpm-tools tpm2-abrmd libtss2-tcti-tabrmd0 tpm2-tools \
    libtpm2-pkcs11-1 libtpm2-pkcs11-tools ||
    echo "!!! the TPM packages could not be installed: ctest tpm_token will be SKIPPED !!!" >&2
fi
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
