#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, then the packages
# (built, installed, used by Chromium and Firefox, and purged; needs root), then the same suite
# built with AddressSanitizer and UndefinedBehaviorSanitizer, then a short pass of every fuzz
# target (KIVO_FUZZ_SECONDS each, 20 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/check-layers.sh
scripts/check-format.sh
if ! scripts/install-deps.sh chromium; then
  echo "!!! chromium could not be installed: the Chromium round trip (ctest browser_chromium) will be SKIPPED !!!" >&2
fi
if ! scripts/install-deps.sh firefox-esr; then
  echo "!!! firefox-esr could not be installed: the Firefox round trip (ctest browser_firefox) will be SKIPPED !!!" >&2
fi
(cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 900)
# The packages: a Release build of the host alone, the .deb linted, installed over an earlier
# version, used by Chromium and Firefox through their system-wide manifests, and purged; the
# RPM's file list.
# Installs into this machine (root only) after the browser tests, which must not see its manifests.
node tests/package/install.test.mjs

# The sanitized build uses -O1 with line tables only: half the compile time of the default build
# type, and reports still name file and line. The browser tests drive the same host code as the
# process tests, and the resource tests exist for their memory bounds, which only the normal run
# can check; the sanitized run leaves both out to save time. It also leaves out the document with
# a million entity references: libxml2 grows that text with one realloc per reference, and
# AddressSanitizer's realloc always moves the block, so the parse alone takes many minutes there
# (seconds in the normal run above).
scripts/build.sh build-asan -DKIVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Sanitize \
  -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -g1" -DCMAKE_C_FLAGS_SANITIZE="-O1 -g1"
(cd build-asan && ctest --output-on-failure -j2 --timeout 900 \
  -E 'browser_|MillionEntityReferencesInOneText|^HostileResources\.')

scripts/fuzz.sh "${KIVO_FUZZ_SECONDS:-20}"
