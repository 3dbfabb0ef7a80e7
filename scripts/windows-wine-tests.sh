#!/usr/bin/env bash
# Runs the Windows build's tests under Wine in a private prefix, then installs the program with
# its installer, starts it, and uninstalls it. Needs a display (scripts/windows-ci.sh gives it
# one). The prefix has no font of the face the dialogs name ("ＭＳ Ｐゴシック"), so the dialog
# tests see the face chosen in its place. One Wine server with its services runs for the whole
# run: started per test it would cost seconds each, and services started by a test would hold
# ctest's output pipes open.
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
wine "$dir/corvane-$version-setup.exe" /S </dev/null
programs="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Programs/Corvane"
for _ in $(seq 100); do [[ -f "$programs/uninstall.exe" ]] && break; sleep 0.1; done
test -f "$programs/corvane.exe"
test -f "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Corvane/Corvane.lnk"
# Starting at logon is not ticked unless asked for.
if wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Corvane >/dev/null 2>&1; then
  echo "the installer made Corvane start at logon unasked" >&2
  exit 1
fi

# Runs the command until it succeeds, for up to ten seconds.
eventually() {
  for _ in $(seq 50); do "$@" && return 0; sleep 0.2; done
  return 1
}
settings_key_has_the_default_port() {
  wine reg query 'HKCU\Software\Lumet\Corvane' /v ProxyPort 2>/dev/null | grep -q 0x13c4
}
settings_key_is_gone() {
  ! wine reg query 'HKCU\Software\Lumet\Corvane' >/dev/null 2>&1
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)
origin=$(free_port)
python3 -m http.server "$origin" --bind 127.0.0.1 --directory "$WINEPREFIX" >/dev/null 2>&1 &
origin_pid=$!
trap 'kill $origin_pid 2>/dev/null; wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
(CORVANE_TEST_PORT=$port wine "$programs/corvane.exe" </dev/null >"$WINEPREFIX/run.log" 2>&1
 echo "corvane.exe ended with $?" >>"$WINEPREFIX/run.log") &
status=000
for _ in $(seq 100); do
  status=$(curl -s -o /dev/null -w '%{http_code}' -x "http://127.0.0.1:$port" -m 5 \
    "http://127.0.0.1:$origin/" || true)
  [[ $status == 200 ]] && break
  sleep 0.2
done
if [[ $status != 200 ]]; then
  echo "the installed corvane.exe does not relay (status $status):" >&2
  cat "$WINEPREFIX/run.log" >&2
  exit 1
fi
eventually settings_key_has_the_default_port  # the first start writes the defaults

wine "$programs/uninstall.exe" /S /REMOVESETTINGS </dev/null
for _ in $(seq 200); do [[ ! -e "$programs/corvane.exe" ]] && break; sleep 0.1; done
test ! -e "$programs/corvane.exe"
if ! eventually settings_key_is_gone; then
  echo "the uninstaller left the settings key" >&2
  exit 1
fi
echo "installed, started, answered on port $port, uninstalled with its settings"
