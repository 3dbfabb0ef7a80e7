#!/usr/bin/env bash
# Takes docs/linux-tip.png, docs/shell-menu.png, docs/about-dialog.png, docs/settings-dialog.png,
# docs/linux-notice.png and docs/linux-bind-box.png: build/corvane on a virtual display with a
# window manager (openbox) and a tray (trayer), on ports of its own, with settings in a folder of
# its own. Build first (./test.sh or scripts/build.sh build).
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
if [[ -z "${CORVANE_SHOTS_DISPLAY:-}" ]]; then
  scripts/ensure-packages.sh scripts/linux-screenshot-packages.txt
  CORVANE_SHOTS_DISPLAY=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

work="$(mktemp -d /tmp/corvane-shots.XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" HOME="$work"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

openbox >/dev/null 2>&1 &
pids+=($!)
trayer --edge bottom --align right --widthtype request --height 24 --transparent false \
  --tint 0xdddddd >/dev/null 2>&1 &
pids+=($!)
sleep 2
xsetroot -solid '#4a6f8a'  # after openbox, which clears the root window as it starts

# Port 8080 as users see it, unless something here holds it.
port=8080
python3 -c 'import socket; socket.socket().bind(("0.0.0.0", 8080))' 2>/dev/null || port=$(free_port)
CORVANE_TEST_PORT=$port "$dir/corvane" >/dev/null 2>&1 &
pids+=($!)
sleep 3

# The tip: the pointer rests on the icon, the rightmost thing in the tray at the bottom.
xdotool mousemove 788 588
sleep 3
scrot -o -a 500,500,300,100 docs/linux-tip.png

# The menu, opened by a click on the icon, and the two dialogs its items open.
xdotool click 1
sleep 2
scrot -o -a 160,200,640,400 docs/shell-menu.png
xdotool key a  # バージョン情報(&A)
about=$(xdotool search --sync --onlyvisible --name 'バージョン情報$' | head -1)
sleep 1
import -window "$about" -frame docs/about-dialog.png
xdotool key Return  # the box has the focus, and its OK button is the default one
sleep 1
if xdotool search --onlyvisible --name 'バージョン情報$' >/dev/null; then
  echo "the About box did not close on Enter" >&2
  exit 1
fi
xdotool mousemove 788 588 click 1
sleep 2
xdotool key s  # 設定(&S)
settings=$(xdotool search --sync --onlyvisible --name '設定$' | head -1)
sleep 1
import -window "$settings" -frame docs/settings-dialog.png
xdotool key Escape

# A refused target: the browser gets its page, the icon a notification.
xdotool mousemove 400 300
refused=$(free_port)
curl -s -o /dev/null -x "http://127.0.0.1:$port" "http://127.0.0.1:$refused/" || true
sleep 2
scrot -o -a 380,420,420,180 docs/linux-notice.png

# Another program on the same port: the box says what to do.
kill -9 "${pids[-1]}"
sleep 1
python3 -c "import socket, time; s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('0.0.0.0', $port)); s.listen(); time.sleep(60)" &
pids+=($!)
sleep 1
CORVANE_TEST_PORT=$port "$dir/corvane" >/dev/null 2>&1 &
pids+=($!)
sleep 3
box=$(xdotool search --sync --onlyvisible --name '^Corvane$' | head -1)
sleep 1
import -window "$box" -frame docs/linux-bind-box.png  # with the frame openbox draws
echo "docs/{linux-tip,shell-menu,about-dialog,settings-dialog,linux-notice,linux-bind-box}.png written"
