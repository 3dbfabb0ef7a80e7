#!/usr/bin/env bash
# Runs the Windows build's tests under Wine in a private prefix, then installs the program with
# its installer, starts it, upgrades it while it runs, and uninstalls it.
# Needs a display (scripts/windows-ci.sh gives it one). The prefix has no font of the face the
# dialogs name ("ＭＳ Ｐゴシック"), so the dialog tests see the face chosen in its place. One Wine
# server with its services runs for the whole run: started per test it would cost seconds each,
# and services started by a test would hold ctest's output pipes open.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-windows}"

WINEPREFIX="$(mktemp -d /tmp/corvane-wine.XXXXXX)"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineserver -p
wineboot -i </dev/null >/dev/null 2>&1

# A Wine process can fail in its first hundredth of a second while the prefix settles; a test
# that fails twice fails.
ctest --test-dir "$dir" --output-on-failure --repeat until-pass:2

echo "== the installer under Wine"
version=$(sed -n 's/^project(corvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
setup="$dir/corvane-$version-setup.exe"
user_dir="$WINEPREFIX/drive_c/users/$(id -un)"
programs="$user_dir/AppData/Local/Programs/Corvane"
settings='HKCU\Software\Lumet\Corvane'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
scratch="$WINEPREFIX/scratch"
mkdir -p "$scratch"

# Runs the command until it succeeds, for up to ten seconds.
eventually() {
  for _ in $(seq 50); do "$@" && return 0; sleep 0.2; done
  return 1
}
fail() {
  echo "$*" >&2
  cat "$scratch"/run*.log >&2 2>/dev/null || true
  exit 1
}
starts_at_logon() {
  wine reg query "$run_key" /v Corvane >/dev/null 2>&1
}
settings_key_has_the_default_port() {
  wine reg query "$settings" /v ProxyPort 2>/dev/null | grep -q 0x13c4
}
settings_key_is_gone() {
  ! wine reg query "$settings" >/dev/null 2>&1
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# Installs silently with the options given and waits until the installer has finished.
install() {
  wine "$setup" /S "$@" </dev/null
  for _ in $(seq 100); do [[ -f "$programs/uninstall.exe" ]] && break; sleep 0.1; done
  test -f "$programs/corvane.exe"
}
# The HTTP status a request through the proxy gets; curl's other arguments follow.
status_through_proxy() {
  curl -s -o "$scratch/body" -w '%{http_code}' -x "http://127.0.0.1:$port" -m 20 "$@" || true
}
relays() {
  [[ $(status_through_proxy "http://127.0.0.1:$origin/") == 200 ]]
}

port=$(free_port)
origin=$(free_port)
python3 -m http.server "$origin" --bind 127.0.0.1 --directory "$scratch" >/dev/null 2>&1 &
pids=($!)
trap 'kill "${pids[@]}" 2>/dev/null; wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
export CORVANE_TEST_PORT=$port  # the installer passes it on to the Corvane it starts

# A first install: starting at logon is not ticked unless asked for.
install
test -f "$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Corvane/Corvane.lnk"
! starts_at_logon || fail "the installer made Corvane start at logon unasked"
wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvane' /v EstimatedSize \
  | grep -q REG_DWORD || fail "the installer set no EstimatedSize"

(wine "$programs/corvane.exe" </dev/null >"$scratch/run1.log" 2>&1
 echo "corvane.exe ended with $?" >>"$scratch/run1.log") &
eventually relays || eventually relays || fail "the installed corvane.exe does not relay"
eventually settings_key_has_the_default_port || fail "the first start wrote no defaults"

# An upgrade over the running Corvane, asked to start it at logon: it is closed, the file
# replaced, and Corvane started again.
install /LOGON
eventually grep -q "corvane.exe ended with 0" "$scratch/run1.log" ||
  fail "the upgrade did not close the running Corvane"
eventually relays || eventually relays || fail "the upgrade did not start Corvane again"
starts_at_logon || fail "the installer did not make Corvane start at logon when asked"

# The logon box shows what is on: left as shown, Corvane keeps starting at logon; unticked, it
# no longer does. Each time the running Corvane is started again.
install
starts_at_logon || fail "an upgrade left as shown stopped Corvane starting at logon"
eventually relays || eventually relays || fail "the second upgrade did not start Corvane again"
install /NOLOGON
! starts_at_logon || fail "unticked, the logon box left the Run value"
eventually relays || eventually relays || fail "the reinstall did not start Corvane again"

wine "$programs/uninstall.exe" /S /REMOVESETTINGS </dev/null
for _ in $(seq 200); do [[ ! -e "$programs/corvane.exe" ]] && break; sleep 0.1; done
test ! -e "$programs/corvane.exe"
eventually settings_key_is_gone || fail "the uninstaller left the settings key"
echo "installed, upgraded while running, the logon box both ways; uninstalled with its settings"
