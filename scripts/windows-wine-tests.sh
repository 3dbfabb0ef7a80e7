#!/usr/bin/env bash
# Runs the Windows build's tests under Wine in a private prefix, then installs the program with
# its installer, starts it, inspects HTTPS with it, upgrades it while it runs, and uninstalls it.
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
authority="$user_dir/AppData/Roaming/Lumet"
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

# Inspection on, with a User-Agent of our own to see the rewriting inside TLS.
wine reg add "$settings" /v InspectHttps /t REG_DWORD /d 1 /f >/dev/null
wine reg add "$settings" /v ChangeUA /t REG_DWORD /d 1 /f >/dev/null
wine reg add "$settings" /v UAName /t REG_SZ /d "CorvaneTest/1.0" /f >/dev/null
(wine "$programs/corvane.exe" </dev/null >"$scratch/run1.log" 2>&1
 echo "corvane.exe ended with $?" >>"$scratch/run1.log") &
eventually relays || eventually relays || fail "the installed corvane.exe does not relay"
eventually settings_key_has_the_default_port || fail "the first start wrote no defaults"
test -f "$authority/Corvane-ca.crt" -a -f "$authority/Corvane-ca.key" ||
  fail "inspection on made no authority in $authority"

# Two HTTPS origins: one whose certificate Corvane's own authority issued, so that only the Root
# store, once --trust-ca has put the authority there, can make Corvane accept it; and one that
# signs itself, which nothing makes acceptable.
good=$(free_port)
bad=$(free_port)
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$scratch/bad.key" -out "$scratch/bad.crt" 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 \
  -keyout "$scratch/good.key" -out "$scratch/good.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  >"$scratch/good.ext"
openssl x509 -req -in "$scratch/good.csr" -CA "$authority/Corvane-ca.crt" \
  -CAkey "$authority/Corvane-ca.key" -CAcreateserial -days 1 -extfile "$scratch/good.ext" \
  -out "$scratch/good.crt" 2>/dev/null
python3 tests/win32/tls_origin.py "$good" "$scratch/good.crt" "$scratch/good.key" \
  "$scratch/good.log" &
pids+=($!)
python3 tests/win32/tls_origin.py "$bad" "$scratch/bad.crt" "$scratch/bad.key" \
  "$scratch/bad.log" &
pids+=($!)
https_status() {
  status_through_proxy --cacert "$authority/Corvane-ca.crt" "https://127.0.0.1:$1/page"
}
# Corvane relays before it has read its settings and started inspecting: through a blind tunnel
# curl would meet the self-signed origin itself and fail, not get a 502.
refuses_the_bad_origin() {
  [[ $(https_status "$bad") == 502 ]]
}
sleep 1
eventually refuses_the_bad_origin || fail "a self-signed origin got $(https_status "$bad"), not 502"
status=$(https_status "$good")
[[ $status == 502 ]] || fail "an origin the Root store does not vouch for got $status, not 502"

# A Firefox profile, which --trust-ca sets to read the Root store.
firefox="$user_dir/AppData/Roaming/Mozilla/Firefox"
mkdir -p "$firefox/Profiles/test.default"
printf '[Profile0]\r\nName=default\r\nIsRelative=1\r\nPath=Profiles/test.default\r\n' \
  >"$firefox/profiles.ini"
wine "$programs/corvane.exe" --trust-ca </dev/null >"$scratch/trust.log" 2>&1 ||
  fail "--trust-ca failed: $(cat "$scratch/trust.log")"
grep -q "Root store" "$scratch/trust.log" || fail "--trust-ca said: $(cat "$scratch/trust.log")"
roots() {
  wine reg query 'HKCU\Software\Microsoft\SystemCertificates\Root\Certificates' 2>/dev/null |
    grep -c 'Certificates\\' || true
}
[[ $(roots) -ge 1 ]] || fail "--trust-ca left the user's Root store empty"
prefs="$firefox/Profiles/test.default/user.js"
grep -qx 'user_pref("security.enterprise_roots.enabled", true);' "$prefs" ||
  fail "--trust-ca did not set Firefox to read the Root store"

# An upgrade over the running Corvane, asked to start it at logon: it is closed, the file
# replaced, and Corvane started again (reading the Root store anew).
install /LOGON
eventually grep -q "corvane.exe ended with 0" "$scratch/run1.log" ||
  fail "the upgrade did not close the running Corvane"
eventually relays || eventually relays || fail "the upgrade did not start Corvane again"
starts_at_logon || fail "the installer did not make Corvane start at logon when asked"

eventually refuses_the_bad_origin || fail "a self-signed origin got $(https_status "$bad"), not 502"
grep -q "127.0.0.1" "$scratch/body" || fail "the 502 page does not name the host"
[[ ! -s "$scratch/bad.log" ]] || fail "the refused origin got a request: $(cat "$scratch/bad.log")"
status=$(https_status "$good")
[[ $status == 200 ]] || fail "the trusted origin through inspection got $status"
grep -q "^User-Agent: CorvaneTest/1.0" "$scratch/good.log" ||
  fail "the request inside TLS was not rewritten: $(cat "$scratch/good.log")"

# The logon box shows what is on: left as shown, Corvane keeps starting at logon; unticked, it
# no longer does. Each time the running Corvane is started again.
install
starts_at_logon || fail "an upgrade left as shown stopped Corvane starting at logon"
eventually relays || eventually relays || fail "the second upgrade did not start Corvane again"
install /NOLOGON
! starts_at_logon || fail "unticked, the logon box left the Run value"
eventually relays || eventually relays || fail "the reinstall did not start Corvane again"

wine "$programs/corvane.exe" --untrust-ca </dev/null >"$scratch/untrust.log" 2>&1 ||
  fail "--untrust-ca failed: $(cat "$scratch/untrust.log")"
[[ $(roots) -eq 0 ]] || fail "--untrust-ca left the authority in the user's Root store"

wine "$programs/uninstall.exe" /S /REMOVESETTINGS </dev/null
for _ in $(seq 200); do [[ ! -e "$programs/corvane.exe" ]] && break; sleep 0.1; done
test ! -e "$programs/corvane.exe"
eventually settings_key_is_gone || fail "the uninstaller left the settings key"
echo "installed, upgraded while running, logon box both ways; HTTPS inspected against the Root"
echo "store: trusted, rewritten inside TLS, a bad origin refused; uninstalled with its settings"
