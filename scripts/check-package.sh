#!/usr/bin/env bash
# CI, as root: builds the Debian packages from the build folder given (default: build), judges
# them with lintian (no error, no warning that packaging/lintian-overrides does not justify) and
# their programs with hardening-check, installs them with apt-get as a user would, runs the
# installed corvane headless as an unprivileged user with a HOME of its own, sends one request
# through it, stops it with SIGTERM (status 0), starts it again with HTTPS inspection on (its TLS
# module makes the local CA), checks the hand-off to the installed corvane-desktop, validates the
# desktop entries and renders the man page without warnings; then removes the packages and
# everything it made.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh scripts/package-check-packages.txt
build=$(realpath "${1:-build}")
user=nobody  # no login, no home of its own: the run gets one made for it
apt_get() { apt-get -o DPkg::Lock::Timeout=900 -y -qq "$@"; }

scratch=$(mktemp -d)
chmod 755 "$scratch"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  apt_get purge corvane-desktop corvane >/dev/null 2>&1 || true
  rm -rf "$scratch" "/tmp/corvane-$(id -u "$user")" "$build/package"
}
trap cleanup EXIT

# Starts the installed corvane as $user in the run's home, its standard error into the file
# given, any further VAR=value in its environment; its pid is $proxy.
start_installed() {
  local errors=$1
  shift
  env -i HOME="$scratch/home" PATH=/usr/bin:/bin CORVANE_TEST_PORT="$port" "$@" \
    setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups corvane 2>"$errors" &
  proxy=$!
  pids+=("$proxy")
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

echo "== package: build"
rm -rf "$build/package"
(cd "$build" && cpack -B package >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log" >&2; exit 1; }
ls "$build"/package/*.deb

echo "== package: lintian"
# As an unprivileged user, as lintian asks; every tag shown, errors and warnings fatal. An
# override that matches nothing any more is fatal too, so that none outlives its reason.
chmod -R a+rX "$build/package"
report=$(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
  env -i HOME="$scratch" PATH=/usr/bin:/bin lintian --fail-on error,warning --display-info \
  "$build"/package/*.deb) || { echo "$report" >&2; exit 1; }
echo "$report"
if grep -q unused-override <<<"$report"; then
  echo "packaging/lintian-overrides holds an override that matches nothing" >&2
  exit 1
fi

echo "== package: hardening-check"
# Debian 12's toolchain and libraries carry no control-flow protection, so no program can.
# The module's few calls of memcpy and its kin have sizes the compiler proves safe, so none is
# turned into a checked one, and fortification cannot be told from the binary there.
mkdir "$scratch/unpacked"
for deb in "$build"/package/*.deb; do dpkg-deb -x "$deb" "$scratch/unpacked"; done
hardening-check --nocfprotection "$scratch"/unpacked/usr/bin/*
hardening-check --nocfprotection --nofortify "$scratch"/unpacked/usr/lib/*/corvane/*.so

echo "== package: install, as a user would"
(cd "$build/package" && apt_get install ./corvane_*.deb >/dev/null)
[[ "$(command -v corvane)" == /usr/bin/corvane ]]
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ "$(corvane --version)" == "corvane $version" ]]

echo "== package: the man page and the desktop entries"
# The page as packaged; a slim image may keep dpkg from unpacking manuals at all.
dpkg-deb -c "$build"/package/corvane_*.deb | grep -q ' ./usr/share/man/man1/corvane.1.gz$'
dpkg-deb -c "$build"/package/corvane-desktop_*.deb |
  grep -q ' ./usr/share/man/man1/corvane-desktop.1.gz -> corvane.1.gz$'
warnings=$(MANWIDTH=80 man --warnings -l "$build/packaging/corvane.1" 2>&1 >/dev/null)
[[ -z "$warnings" ]] || { echo "$warnings" >&2; exit 1; }
desktop-file-validate packaging/corvane.desktop packaging/corvane-autostart.desktop

echo "== package: one request through the installed program, run as $user"
mkdir "$scratch/site" "$scratch/home"
echo "through corvane" >"$scratch/site/page.txt"
chown "$user" "$scratch/home"
origin=$(free_port)
python3 -m http.server "$origin" --bind 127.0.0.1 --directory "$scratch/site" >/dev/null 2>&1 &
pids+=($!)
port=$(free_port)  # never 8080, which a proxy of this machine may hold
start_installed "$scratch/corvane.err"
answer=""
for _ in $(seq 50); do
  answer=$(curl -s -x "http://127.0.0.1:$port" "http://127.0.0.1:$origin/page.txt" || true)
  [[ "$answer" == "through corvane" ]] && break
  sleep 0.2
done
[[ "$answer" == "through corvane" ]] || { cat "$scratch/corvane.err" >&2; exit 1; }
test -s "$scratch/home/.config/Lumet/Corvane.reg"
[[ "$(stat -c %U "$scratch/home/.config/Lumet/Corvane.reg")" == "$user" ]]
kill -TERM "$proxy"
status=0
wait "$proxy" || status=$?
[[ $status -eq 0 ]] || { echo "corvane ended with status $status on SIGTERM" >&2; exit 1; }

echo "== package: HTTPS inspection turned on loads the installed TLS module"
ldd /usr/bin/corvane | grep -q libssl && { echo "corvane maps libssl before inspecting" >&2; exit 1; }
sed -i 's/^"InspectHttps"=dword:00000000/"InspectHttps"=dword:00000001/' \
  "$scratch/home/.config/Lumet/Corvane.reg"
start_installed "$scratch/corvane.err"
for _ in $(seq 50); do
  [[ -s "$scratch/home/.config/Lumet/Corvane-ca.crt" ]] && break
  sleep 0.2
done
[[ -s "$scratch/home/.config/Lumet/Corvane-ca.crt" ]] || { cat "$scratch/corvane.err" >&2; exit 1; }
kill -TERM "$proxy"
wait "$proxy"

echo "== package: with a display, the installed corvane becomes the installed corvane-desktop"
(cd "$build/package" && apt_get install ./corvane-desktop_*.deb >/dev/null)
display=$(free_port)  # something answering where DISPLAY points; Qt draws offscreen
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8); time.sleep(60)' \
  "$display" &
pids+=($!)
for _ in $(seq 50); do (: </dev/tcp/127.0.0.1/"$display") 2>/dev/null && break; sleep 0.2; done
start_installed "$scratch/desktop.err" DISPLAY="127.0.0.1:$((display - 6000))" \
  QT_QPA_PLATFORM=offscreen
program=""
for _ in $(seq 50); do
  program=$(readlink "/proc/$proxy/exe" || true)
  [[ "$program" == /usr/bin/corvane-desktop ]] && break
  sleep 0.2
done
[[ "$program" == /usr/bin/corvane-desktop ]] || { cat "$scratch/desktop.err" >&2; exit 1; }
# Stopped once it serves: until then SIGTERM finds it still loading Qt, which immediate binding
# (-z now) makes take a while, and its default action ends it with no clean exit.
for _ in $(seq 100); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.2; done
kill -TERM "$proxy"
wait "$proxy"

echo "== package: remove"
apt_get purge corvane-desktop corvane >/dev/null
if command -v corvane >/dev/null; then
  echo "corvane is still installed" >&2
  exit 1
fi
echo "package: ok"
