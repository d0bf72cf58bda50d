#!/usr/bin/env bash
# Writes (or removes) the native-messaging manifests that let Chrome, Chromium and Firefox start
# kivo-signing-host, for the current user or for every user of the machine. Works from a source
# checkout (against the built host) and from an installed copy (against the installed host).
set -euo pipefail
# A die inside $(...) must end the script, not just the substitution.
shopt -s inherit_errexit
shopt -u patsub_replacement 2>/dev/null || true

readonly host_name="com.kivo.signing"
script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly script_dir

usage() {
  cat <<EOF
Usage: $(basename "$0") [--user|--system] [--uninstall] [options]

  --user             for the current user (default):
                       \${XDG_CONFIG_HOME:-~/.config}/google-chrome/NativeMessagingHosts/
                       \${XDG_CONFIG_HOME:-~/.config}/chromium/NativeMessagingHosts/
                       ~/.mozilla/native-messaging-hosts/
  --system           for every user (needs root; \$DESTDIR, when set, is put in front):
                       /etc/opt/chrome/native-messaging-hosts/
                       /etc/chromium/native-messaging-hosts/
                       /usr/lib/mozilla/native-messaging-hosts/
  --uninstall        remove the manifests instead of writing them
  --browser NAME     only chrome, chromium or firefox (repeatable; default: all three)
  --host PATH        the host program (default: from the deployment settings)
  --chrome-origin O  allowed extension origin, chrome-extension://<id>/ (repeatable; replaces
                     the settings' list)
  --firefox-id ID    allowed Firefox extension id (repeatable; replaces the settings' list)
  --settings FILE    deployment settings written by the build or the install
                     (default: deployment.conf beside this script when installed, otherwise
                     BUILD/packaging/deployment.conf)
  --build-dir DIR    build folder of a source checkout (default: the checkout's build/)
  -h, --help         this text
EOF
}

die() {
  echo "register-browsers: $*" >&2
  exit 1
}

scope=user
action="write"
browsers=()
host=""
settings=""
build_dir=""
origins=()
firefox_ids=()

while [ "$#" -gt 0 ]; do
  case "$1" in
    --user) scope=user ;;
    --system) scope=system ;;
    --uninstall) action=remove ;;
    --browser | --host | --chrome-origin | --firefox-id | --settings | --build-dir)
      [ "$#" -ge 2 ] || die "$1 needs a value"
      case "$1" in
        --browser) browsers+=("$2") ;;
        --host) host="$2" ;;
        --chrome-origin) origins+=("$2") ;;
        --firefox-id) firefox_ids+=("$2") ;;
        --settings) settings="$2" ;;
        --build-dir) build_dir="$2" ;;
      esac
      shift
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
  shift
done

[ "${#browsers[@]}" -gt 0 ] || browsers=(chrome chromium firefox)
for browser in "${browsers[@]}"; do
  case "$browser" in
    chrome | chromium | firefox) ;;
    *) die "unknown browser '$browser': use chrome, chromium or firefox" ;;
  esac
done

manifest_dir() {
  local config="${XDG_CONFIG_HOME:-$HOME/.config}"
  case "$scope/$1" in
    user/chrome) echo "$config/google-chrome/NativeMessagingHosts" ;;
    user/chromium) echo "$config/chromium/NativeMessagingHosts" ;;
    user/firefox) echo "$HOME/.mozilla/native-messaging-hosts" ;;
    system/chrome) echo "${DESTDIR:-}/etc/opt/chrome/native-messaging-hosts" ;;
    system/chromium) echo "${DESTDIR:-}/etc/chromium/native-messaging-hosts" ;;
    system/firefox) echo "${DESTDIR:-}/usr/lib/mozilla/native-messaging-hosts" ;;
  esac
}

if [ "$scope" = user ] && [ -z "${HOME:-}" ]; then
  die "HOME is not set, so the user's browser folders are unknown"
fi

if [ "$action" = remove ]; then
  for browser in "${browsers[@]}"; do
    file="$(manifest_dir "$browser")/$host_name.json"
    if [ -e "$file" ]; then
      rm -f "$file"
      echo "removed $file ($browser)"
    else
      echo "nothing to remove at $file ($browser)"
    fi
  done
  exit 0
fi

# An installed copy keeps its templates and settings beside it; a checkout keeps them in
# packaging/ and in the build folder.
if [ -f "$script_dir/chromium-host-manifest.json.in" ]; then
  templates="$script_dir"
  default_settings="$script_dir/deployment.conf"
else
  templates="$script_dir/../packaging"
  default_settings="${build_dir:-$script_dir/../build}/packaging/deployment.conf"
fi
if [ ! -f "$templates/chromium-host-manifest.json.in" ] || [ ! -f "$templates/firefox-host-manifest.json.in" ]; then
  die "cannot find the manifest templates (looked in $templates)"
fi

settings_host=""
settings_origins=()
settings_ids=()
read_settings() {
  local key value
  while IFS='=' read -r key value; do
    case "$key" in
      host) settings_host="$value" ;;
      chrome_origin) settings_origins+=("$value") ;;
      firefox_id) settings_ids+=("$value") ;;
    esac
  done <"$1"
}
if [ -n "$settings" ]; then
  [ -f "$settings" ] || die "settings file $settings does not exist"
  read_settings "$settings"
elif [ -f "$default_settings" ]; then
  read_settings "$default_settings"
fi

[ -n "$host" ] || host="$settings_host"
[ "${#origins[@]}" -gt 0 ] || origins=("${settings_origins[@]}")
[ "${#firefox_ids[@]}" -gt 0 ] || firefox_ids=("${settings_ids[@]}")
[ -n "$host" ] ||
  die "no host known: build it first (cmake --build build) or pass --host PATH"

# Browsers start the host by absolute path.
case "$host" in
  /*) ;;
  *) host="$(pwd)/$host" ;;
esac
if [ ! -f "$host" ] || [ ! -x "$host" ]; then
  die "the host $host does not exist or is not executable: build or install it first"
fi

needs_chrome=no
needs_firefox=no
for browser in "${browsers[@]}"; do
  case "$browser" in
    firefox) needs_firefox=yes ;;
    *) needs_chrome=yes ;;
  esac
done
if [ "$needs_chrome" = yes ]; then
  [ "${#origins[@]}" -gt 0 ] || die "no allowed extension origin: pass --chrome-origin"
  for origin in "${origins[@]}"; do
    [[ "$origin" =~ ^chrome-extension://[a-p]{32}/$ ]] ||
      die "'$origin' is not of the form chrome-extension://<32 letters a-p>/"
  done
fi
if [ "$needs_firefox" = yes ]; then
  [ "${#firefox_ids[@]}" -gt 0 ] || die "no allowed Firefox extension id: pass --firefox-id"
  for id in "${firefox_ids[@]}"; do
    [[ "$id" =~ ^([A-Za-z0-9._+-]+@[A-Za-z0-9._-]+|\{[0-9A-Fa-f-]+\})$ ]] ||
      die "'$id' is neither name@domain nor a {GUID}"
  done
fi

json_string() {
  local text="$1"
  [[ "$text" != *[$'\n\r\t']* ]] || die "'$text' holds a control character"
  text="${text//\\/\\\\}"
  text="${text//\"/\\\"}"
  printf '%s' "$text"
}

json_list() {
  local entry out=""
  for entry in "$@"; do
    out+="${out:+, }\"$(json_string "$entry")\""
  done
  printf '%s' "$out"
}

# Renders a template the same way the CMake install does.
render() {
  local template="$1" allowed="$2" text host_text
  text="$(<"$template")"
  host_text="$(json_string "$host")"
  text="${text//@KIVO_HOST_PATH@/"$host_text"}"
  text="${text//@KIVO_ALLOWED_LIST@/"$allowed"}"
  printf '%s\n' "$text"
}

for browser in "${browsers[@]}"; do
  dir="$(manifest_dir "$browser")"
  if [ "$browser" = firefox ]; then
    content="$(render "$templates/firefox-host-manifest.json.in" "$(json_list "${firefox_ids[@]}")")"
  else
    content="$(render "$templates/chromium-host-manifest.json.in" "$(json_list "${origins[@]}")")"
  fi
  mkdir -p "$dir" || die "cannot create $dir"
  temporary="$(mktemp "$dir/.$host_name.XXXXXX")" || die "cannot write in $dir"
  printf '%s\n' "$content" >"$temporary"
  chmod 644 "$temporary"
  mv -f "$temporary" "$dir/$host_name.json"
  echo "wrote $dir/$host_name.json ($browser, host $host)"
done
