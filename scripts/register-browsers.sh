#!/usr/bin/env bash
# Writes (or removes) the native-messaging manifests that let the Chrome family (Chrome, Chromium,
# Edge, Brave, Vivaldi) and Firefox (and LibreWolf) start kivo-signing-host, for the current user
# or for every user of the machine, and for browsers installed as Flatpaks. Works from a source
# checkout (against the built host) and from an installed copy (against the installed host).
set -euo pipefail
# A failure inside $(...) must stop the script too (a host path with a tab once gave "path": "").
shopt -s inherit_errexit
shopt -u patsub_replacement 2>/dev/null || true

readonly host_name="com.kivo.signing"
script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly script_dir

# One line per browser: name|label|family|user folder|system folder|commands|flatpak id|snap.
# User folders are below ${XDG_CONFIG_HOME:-~/.config} (@C) or HOME (@H). Folders come from each
# browser's documentation or source; several browsers share Chrome's system folder.
readonly browser_table="\
chrome|Google Chrome|chrome|@C/google-chrome/NativeMessagingHosts|/etc/opt/chrome/native-messaging-hosts|google-chrome google-chrome-stable|com.google.Chrome|
chrome-beta|Google Chrome Beta|chrome|@C/google-chrome-beta/NativeMessagingHosts|/etc/opt/chrome/native-messaging-hosts|google-chrome-beta||
chrome-unstable|Google Chrome Unstable|chrome|@C/google-chrome-unstable/NativeMessagingHosts|/etc/opt/chrome/native-messaging-hosts|google-chrome-unstable||
chromium|Chromium|chrome|@C/chromium/NativeMessagingHosts|/etc/chromium/native-messaging-hosts|chromium chromium-browser|org.chromium.Chromium|chromium
edge|Microsoft Edge|chrome|@C/microsoft-edge/NativeMessagingHosts|/etc/opt/edge/native-messaging-hosts|microsoft-edge microsoft-edge-stable|com.microsoft.Edge|
edge-beta|Microsoft Edge Beta|chrome|@C/microsoft-edge-beta/NativeMessagingHosts|/etc/opt/edge/native-messaging-hosts|microsoft-edge-beta||
edge-dev|Microsoft Edge Dev|chrome|@C/microsoft-edge-dev/NativeMessagingHosts|/etc/opt/edge/native-messaging-hosts|microsoft-edge-dev||
brave|Brave|chrome|@C/BraveSoftware/Brave-Browser/NativeMessagingHosts|/etc/opt/chrome/native-messaging-hosts|brave-browser brave brave-browser-stable|com.brave.Browser|brave
vivaldi|Vivaldi|chrome|@C/vivaldi/NativeMessagingHosts|/etc/opt/chrome/native-messaging-hosts|vivaldi vivaldi-stable|com.vivaldi.Vivaldi|
firefox|Firefox|firefox|@H/.mozilla/native-messaging-hosts|/usr/lib/mozilla/native-messaging-hosts|firefox firefox-esr|org.mozilla.firefox|firefox
librewolf|LibreWolf|firefox|@H/.librewolf/native-messaging-hosts|/usr/lib/librewolf/native-messaging-hosts|librewolf|io.gitlab.librewolf-community|"

# Inside a Flatpak's own folder (~/.var/app/APP-ID/), where the app reads its manifests: the
# Chrome family's config folder is config/, Firefox and LibreWolf keep their dot folder.
flatpak_folder() {
  local user_folder="$1"
  case "$user_folder" in
    @C/*) echo "config/${user_folder#@C/}" ;;
    @H/*) echo "${user_folder#@H/}" ;;
  esac
}

usage() {
  cat <<EOF
Usage: $(basename "$0") [--user|--system] [--uninstall] [--list] [options]

  --user             for the current user (default), in each browser's own folder
  --system           for every user (needs root; \$DESTDIR, when set, is put in front)
  --uninstall        remove the manifests (and Flatpak wrappers) instead of writing them
  --list             print each browser, whether it is installed (natively, as a Flatpak or as a
                     Snap) and where its manifest is or would be; writes nothing
  --browser NAME     one of: $(browser_names)
                     (repeatable; default: every installed browser plus chrome, chromium and
                     firefox, and every browser installed as a Flatpak)
  --flatpak APP-ID   a browser installed as a Flatpak, e.g. org.mozilla.firefox (repeatable): its
                     manifest goes inside ~/.var/app/APP-ID/ and names a wrapper that starts the
                     host outside the sandbox with flatpak-spawn --host
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

field() { # field ROW INDEX
  local -a parts
  IFS='|' read -r -a parts <<<"$1"
  printf '%s' "${parts[$2]:-}"
}

browser_row() {
  local row
  while IFS= read -r row; do
    [ "$(field "$row" 0)" != "$1" ] || {
      printf '%s' "$row"
      return 0
    }
  done <<<"$browser_table"
  return 1
}

browser_names() {
  local row names=""
  while IFS= read -r row; do
    names+="${names:+, }$(field "$row" 0)"
  done <<<"$browser_table"
  printf '%s' "$names"
}

scope=user
action="write"
browsers=()
flatpaks=()
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
    --list) action=list ;;
    --browser | --flatpak | --host | --chrome-origin | --firefox-id | --settings | --build-dir)
      [ "$#" -ge 2 ] || die "$1 needs a value"
      case "$1" in
        --browser) browsers+=("$2") ;;
        --flatpak) flatpaks+=("$2") ;;
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

for browser in "${browsers[@]}"; do
  browser_row "$browser" >/dev/null || die "unknown browser '$browser': use one of $(browser_names)"
done

if [ -z "${HOME:-}" ] && { [ "$scope" = user ] || [ "$action" = list ]; }; then
  die "HOME is not set, so the user's browser folders are unknown"
fi
# Flatpak's own FLATPAK_USER_DIR and FLATPAK_SYSTEM_DIR, and KIVO_SNAP_DIR, move the places where
# installed Flatpaks and Snaps are looked for (the tests use them).
config_home="${XDG_CONFIG_HOME:-${HOME:-}/.config}"
flatpak_user_dir="${FLATPAK_USER_DIR:-${XDG_DATA_HOME:-${HOME:-}/.local/share}/flatpak}"
flatpak_system_dir="${FLATPAK_SYSTEM_DIR:-/var/lib/flatpak}"
snap_dir="${KIVO_SNAP_DIR:-/snap}"

user_dir() {
  local folder
  folder="$(field "$(browser_row "$1")" 3)"
  case "$folder" in
    @C/*) echo "$config_home/${folder#@C/}" ;;
    @H/*) echo "$HOME/${folder#@H/}" ;;
  esac
}

system_dir() {
  echo "${DESTDIR:-}$(field "$(browser_row "$1")" 4)"
}

manifest_dir() {
  if [ "$scope" = system ]; then system_dir "$1"; else user_dir "$1"; fi
}

# A browser counts as installed when one of its programs is on PATH.
natively_installed() {
  local program
  for program in $(field "$(browser_row "$1")" 5); do
    command -v "$program" >/dev/null 2>&1 && return 0
  done
  return 1
}

# "user" or "system" when APP-ID is installed as a Flatpak (user installations win), else empty.
flatpak_installation() {
  if [ -d "$flatpak_user_dir/app/$1" ]; then
    echo user
  elif [ -d "$flatpak_system_dir/app/$1" ]; then
    echo system
  fi
}

snap_installed() {
  local snap
  snap="$(field "$(browser_row "$1")" 7)"
  [ -n "$snap" ] && [ -e "$snap_dir/bin/$snap" ]
}

# The browser whose Flatpak APP-ID is, if any.
browser_of_flatpak() {
  local row
  while IFS= read -r row; do
    [ "$(field "$row" 6)" != "$1" ] || {
      field "$row" 0
      return 0
    }
  done <<<"$browser_table"
  return 1
}

flatpak_manifest_dir() { # APP-ID
  local browser
  browser="$(browser_of_flatpak "$1")"
  echo "$HOME/.var/app/$1/$(flatpak_folder "$(field "$(browser_row "$browser")" 3)")"
}

flatpak_wrapper() { # APP-ID
  echo "$HOME/.var/app/$1/data/kivo-signing/$host_name-flatpak"
}

flatpak_override_command() {
  echo "flatpak override --user --talk-name=org.freedesktop.Flatpak $1"
}

snap_advice() { # BROWSER
  local label
  label="$(field "$(browser_row "$1")" 1)"
  if [ "$(family_of "$1")" != firefox ]; then
    cat <<EOF
warning: $label is installed as a Snap. A Chrome-family Snap has no supported way to start a
      native-messaging host outside its sandbox: install $label from your distribution's
      package (or use Firefox) to sign with kivo-signing-host.
EOF
    return
  fi
  cat <<EOF
note: $label is installed as a Snap. A Snap browser cannot start programs itself; it asks the
      desktop's WebExtensions portal (xdg-desktop-portal) to do it. The portal reads the manifest
      from the standard folder written here ($(manifest_dir "$1")), so
      the host must stay at a path outside the Snap ($host). It needs xdg-desktop-portal with the
      WebExtensions interface running in your session, and it asks you once to allow the
      extension to start com.kivo.signing.
EOF
}

# The wrapper works only with a permission that opens the whole sandbox; it is never granted
# here, only explained.
flatpak_advice() { # APP-ID
  if [ "$(family_of "$(browser_of_flatpak "$1")")" = firefox ]; then
    cat <<EOF
note: Firefox 157 and later as a Flatpak start hosts through xdg-native-messaging-proxy, which
      reads the standard folder ($(manifest_dir "$(browser_of_flatpak "$1")")): the manifest
      written there is all they need. The wrapper is for older versions only.
EOF
  else
    cat <<EOF
warning: a Chrome-family Flatpak has no supported way to start a native-messaging host outside
      its sandbox; the wrapper is a workaround.
EOF
  fi
  cat <<EOF
warning: the wrapper works only after this command, which this script does not run for you:
          $(flatpak_override_command "$1")
      It lets everything that runs inside the $1 sandbox run ANY command on this computer as
      you, outside the sandbox, not only this host. Run it only if you accept that.
EOF
}

browser_table_flatpaks() {
  local row names="" id
  while IFS= read -r row; do
    id="$(field "$row" 6)"
    [ -z "$id" ] || names+="${names:+, }$id"
  done <<<"$browser_table"
  printf '%s' "$names"
}

# --- which browsers and Flatpaks this run is about ---------------------------------------------

if [ "${#browsers[@]}" -eq 0 ] && [ "${#flatpaks[@]}" -eq 0 ]; then
  while IFS= read -r row; do
    name="$(field "$row" 0)"
    case "$name" in
      chrome | chromium | firefox) browsers+=("$name") ;;
      *) if natively_installed "$name" || snap_installed "$name"; then browsers+=("$name"); fi ;;
    esac
    id="$(field "$row" 6)"
    if [ "$scope" = user ] && [ -n "$id" ] && [ -n "$(flatpak_installation "$id")" ]; then
      flatpaks+=("$id")
    fi
  done <<<"$browser_table"
fi
for id in "${flatpaks[@]}"; do
  browser_of_flatpak "$id" >/dev/null ||
    die "unknown Flatpak '$id': use the APP-ID of one of these browsers: $(browser_table_flatpaks)"
  [ "$scope" = user ] || die "--flatpak works only for the current user (--user)"
done
# Firefox as a Flatpak reaches hosts through the standard folders (xdg-native-messaging-proxy).
if [ "$action" = write ]; then
  for id in "${flatpaks[@]}"; do
    browser="$(browser_of_flatpak "$id")"
    if [ "$(field "$(browser_row "$browser")" 2)" = firefox ] &&
      [[ " ${browsers[*]} " != *" $browser "* ]]; then
      browsers+=("$browser")
    fi
  done
fi

# --- --list -------------------------------------------------------------------------------------

if [ "$action" = list ]; then
  printf '%-16s %-22s %-30s %s\n' BROWSER NAME INSTALLED MANIFEST
  while IFS= read -r row; do
    name="$(field "$row" 0)"
    how=()
    ! natively_installed "$name" || how+=("yes")
    ! snap_installed "$name" || how+=("snap")
    id="$(field "$row" 6)"
    installation=""
    [ -z "$id" ] || installation="$(flatpak_installation "$id")"
    [ -z "$installation" ] || how+=("flatpak $id ($installation)")
    text="no"
    [ "${#how[@]}" -eq 0 ] || text="$(IFS=,; echo "${how[*]}")"
    text="${text//,/, }"
    for place in "$(manifest_dir "$name")" ${installation:+"$(flatpak_manifest_dir "$id")"}; do
      file="$place/$host_name.json"
      state="would be written"
      [ ! -e "$file" ] || state="present"
      printf '%-16s %-22s %-30s %s (%s)\n' "$name" "$(field "$row" 1)" "$text" "$file" "$state"
    done
  done <<<"$browser_table"
  exit 0
fi

# --- --uninstall ---------------------------------------------------------------------------------

remove_file() { # FILE WHAT
  if [ -e "$1" ]; then
    rm -f "$1"
    echo "removed $1 ($2)"
  else
    echo "nothing to remove at $1 ($2)"
  fi
}

if [ "$action" = remove ]; then
  declare -A done_dirs=()
  for browser in "${browsers[@]}"; do
    dir="$(manifest_dir "$browser")"
    [ -z "${done_dirs[$dir]:-}" ] || continue
    done_dirs[$dir]=1
    remove_file "$dir/$host_name.json" "$browser"
  done
  for id in "${flatpaks[@]}"; do
    remove_file "$(flatpak_manifest_dir "$id")/$host_name.json" "Flatpak $id"
    remove_file "$(flatpak_wrapper "$id")" "Flatpak $id wrapper"
  done
  exit 0
fi

# --- writing -------------------------------------------------------------------------------------

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

family_of() { field "$(browser_row "$1")" 2; }

needs_chrome=no
needs_firefox=no
for browser in "${browsers[@]}"; do
  case "$(family_of "$browser")" in
    firefox) needs_firefox=yes ;;
    *) needs_chrome=yes ;;
  esac
done
for id in "${flatpaks[@]}"; do
  case "$(family_of "$(browser_of_flatpak "$id")")" in
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
render() { # FAMILY PROGRAM
  local template allowed text program_text
  if [ "$1" = firefox ]; then
    template="$templates/firefox-host-manifest.json.in"
    allowed="$(json_list "${firefox_ids[@]}")"
  else
    template="$templates/chromium-host-manifest.json.in"
    allowed="$(json_list "${origins[@]}")"
  fi
  text="$(<"$template")"
  program_text="$(json_string "$2")"
  text="${text//@KIVO_HOST_PATH@/"$program_text"}"
  text="${text//@KIVO_ALLOWED_LIST@/"$allowed"}"
  printf '%s\n' "$text"
}

# Writes FILE with CONTENT and MODE through a temporary file, so a browser never reads half of it.
write_file() { # FILE CONTENT MODE
  local dir temporary
  dir="$(dirname "$1")"
  mkdir -p "$dir" || die "cannot create $dir"
  temporary="$(mktemp "$dir/.$host_name.XXXXXX")" || die "cannot write in $dir"
  printf '%s\n' "$2" >"$temporary"
  chmod "$3" "$temporary"
  mv -f "$temporary" "$1"
}

declare -A written=()
for browser in "${browsers[@]}"; do
  dir="$(manifest_dir "$browser")"
  family="$(family_of "$browser")"
  # Chrome, its channels, Brave and Vivaldi share one system folder: write it once.
  if [ -n "${written[$dir]:-}" ]; then
    echo "$dir/$host_name.json serves $browser too"
  else
    content="$(render "$family" "$host")"
    write_file "$dir/$host_name.json" "$content" 644
    written[$dir]=1
    echo "wrote $dir/$host_name.json ($browser, host $host)"
  fi
  if snap_installed "$browser"; then
    snap_advice "$browser"
  fi
done

# A Flatpak browser starts programs inside its sandbox, where the host's libraries, tokens and
# key stores are not; the wrapper asks Flatpak to start the installed host on the real system,
# with the browser's stdin, stdout and arguments passed through untouched.
for id in "${flatpaks[@]}"; do
  browser="$(browser_of_flatpak "$id")"
  installation="$(flatpak_installation "$id")"
  [ -n "$installation" ] || echo "note: $id is not installed as a Flatpak (yet); writing its files anyway"
  wrapper="$(flatpak_wrapper "$id")"
  wrapper_text="#!/bin/sh
# Starts kivo-signing-host outside the $id sandbox; written by register-browsers.sh.
exec flatpak-spawn --host --watch-bus '${host//\'/\'\\\'\'}' \"\$@\""
  write_file "$wrapper" "$wrapper_text" 755
  dir="$(flatpak_manifest_dir "$id")"
  content="$(render "$(family_of "$browser")" "$wrapper")"
  write_file "$dir/$host_name.json" "$content" 644
  echo "wrote $dir/$host_name.json (Flatpak $id, through $wrapper)"
  flatpak_advice "$id"
done
