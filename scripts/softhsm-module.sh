#!/usr/bin/env bash
# Prints the path of the SoftHSM2 PKCS#11 module: the one p11-kit registers (and the host will
# load too), else the usual Debian places. Fails when there is none.
set -euo pipefail

registered=/usr/share/p11-kit/modules/softhsm2.module
path=""
if [ -r "$registered" ]; then
  path="$(sed -n 's/^module:[[:space:]]*//p' "$registered" | head -n 1)"
fi
for candidate in "$path" /usr/lib/softhsm/libsofthsm2.so /usr/lib/*/softhsm/libsofthsm2.so; do
  if [ -n "$candidate" ] && [ -e "$candidate" ]; then
    echo "$candidate"
    exit 0
  fi
done
echo "cannot find the SoftHSM2 PKCS#11 module" >&2
exit 1
