#!/usr/bin/env bash
# Builds the Debian package and the RPM of kivo-signing-host from a Release build of the host:
#   BUILD/kivo-signing-host_<version>_amd64.deb and BUILD/kivo-signing-host-<version>.x86_64.rpm
# The extensions allowed to start the host are fixed in the packages' manifests, so name yours.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat <<USAGE
Usage: scripts/package.sh [options] [-DNAME=VALUE ...]

  --chrome-origin O  allowed Chrome/Chromium extension origin, chrome-extension://<id>/
                     (repeatable; sets KIVO_CHROME_EXTENSION_ORIGINS)
  --firefox-id ID    allowed Firefox extension id (repeatable; sets KIVO_FIREFOX_EXTENSION_IDS)
  --build-dir DIR    Release build folder, which also receives the packages (default: build-package)
  --deb-only         build the Debian package only (no rpmbuild needed)
  --rpm-only         build the RPM only (no dpkg-shlibdeps needed: for building on Fedora)
  -DNAME=VALUE       any other CMake setting, such as -DKIVO_PACKAGE_MAINTAINER='Name <address>'
  -h, --help         this text

Without --chrome-origin or --firefox-id, the settings of an earlier run in the same build folder
stay; a fresh build folder gets the placeholders, which no real extension matches.
USAGE
}

die() {
  echo "package: $*" >&2
  exit 1
}

build_dir=build-package
generators="DEB;RPM"
origins=()
firefox_ids=()
cmake_args=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --chrome-origin | --firefox-id | --build-dir)
      [ "$#" -ge 2 ] || die "$1 needs a value"
      case "$1" in
        --chrome-origin) origins+=("$2") ;;
        --firefox-id) firefox_ids+=("$2") ;;
        --build-dir) build_dir="$2" ;;
      esac
      shift
      ;;
    --deb-only) generators="DEB" ;;
    --rpm-only) generators="RPM" ;;
    -D*) cmake_args+=("$1") ;;
    -h | --help)
      usage
      exit 0
      ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
  shift
done

join() {
  local IFS=";"
  echo "$*"
}
[ "${#origins[@]}" -eq 0 ] || cmake_args+=("-DKIVO_CHROME_EXTENSION_ORIGINS=$(join "${origins[@]}")")
[ "${#firefox_ids[@]}" -eq 0 ] || cmake_args+=("-DKIVO_FIREFOX_EXTENSION_IDS=$(join "${firefox_ids[@]}")")

if [[ "$generators" == *DEB* ]] && ! command -v dpkg-shlibdeps >/dev/null; then
  die "dpkg-shlibdeps is missing (apt-get install dpkg-dev), or pass --rpm-only"
fi
if [[ "$generators" == *RPM* ]] && ! command -v rpmbuild >/dev/null; then
  die "rpmbuild is missing (apt-get install rpm), or pass --deb-only"
fi

# Debian's hardening flags (stack protector, fortified calls, full RELRO, bind now); CMake reads
# CFLAGS, CXXFLAGS and LDFLAGS from the environment on the first configure only, and never
# CPPFLAGS. Debug information is left out: the packaged host is stripped anyway.
if command -v dpkg-buildflags >/dev/null; then
  export DEB_BUILD_MAINT_OPTIONS="hardening=+all" DEB_CFLAGS_MAINT_STRIP="-g" DEB_CXXFLAGS_MAINT_STRIP="-g"
  CFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
  CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
  export CFLAGS CXXFLAGS LDFLAGS
fi
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# Only the host is built: no tests, no tools, and `cpack` does not build everything first.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKIVO_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${launcher[@]}" \
  "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" --target kivo-signing-host -j"$(nproc)"

if grep -q '^KIVO_CHROME_EXTENSION_ORIGINS:STRING=chrome-extension://a\{32\}/$' "$build_dir/CMakeCache.txt"; then
  echo "package: WARNING: the Chrome origin is the placeholder; no real extension can start this host" >&2
fi
(cd "$build_dir" && cpack -G "$generators" -C Release >/dev/null) || die "cpack failed (rerun it in $build_dir with --verbose)"
build_dir="$(cd "$build_dir" && pwd)"
for package in "$build_dir"/kivo-signing-host[_-]*.{deb,rpm}; do
  [ ! -e "$package" ] || echo "$package"
done
