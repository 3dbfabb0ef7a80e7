#!/usr/bin/env bash
# Takes docs/windows-menu.png, docs/windows-settings.png and docs/windows-about.png, then in a
# Wine desktop with its taskbar docs/windows-bind-box.png, docs/windows-tip.png and
# docs/windows-notice.png:
# build-windows/corvane.exe under Wine on a virtual display, the Japanese text drawn with
# IPAPGothic. Run scripts/windows-ci.sh (or build build-windows) first.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-windows}"
if [[ -z "${CORVANE_SHOTS_DISPLAY:-}" ]]; then
  scripts/ensure-packages.sh scripts/windows-packages.txt
  scripts/ensure-packages.sh scripts/windows-screenshot-packages.txt
  CORVANE_SHOTS_DISPLAY=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

WINEPREFIX="$(mktemp -d /tmp/corvane-shots.XXXXXX)"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineserver -p
wineboot -i </dev/null >/dev/null 2>&1
# The dialogs name "ＭＳ Ｐゴシック"; menus and captions use Wine's own UI fonts.
for font in "ＭＳ Ｐゴシック" "MS Shell Dlg" "Tahoma" "MS UI Gothic"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ /d IPAPGothic /f \
    >/dev/null
done
# The caption buttons' glyphs; Debian's Wine finds its own fonts only in the prefix.
cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
# explorer.exe, which draws the tip and the notification, read the fonts when wineboot started it.
wineserver -k
wineserver -w
wineserver -p

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)
CORVANE_TEST_PORT=$port wine "$dir/corvane.exe" </dev/null >/dev/null 2>&1 &
sleep 15
# A second start opens the running one's menu at the pointer, as a click on its icon does; the
# menu opens upwards from the pointer, the program's one window without a name. Sets $menu,
# $left and $top.
open_menu() {
  xdotool mousemove 560 560
  CORVANE_TEST_PORT=$port wine "$dir/corvane.exe" </dev/null >/dev/null 2>&1
  sleep 12
  read -r menu left top < <(xwininfo -root -tree | grep '("corvane.exe"' | grep 'has no name' |
    grep -v ' 1x1+' | awk '{split($(NF-1), g, /[x+]/); print $1, g[3], g[4]}' | head -1)
}
open_menu
import -window "$menu" docs/windows-menu.png
xdotool mousemove $((left + 30)) $((top + 28)) click 1  # バージョン情報(&A), the second item
about=$(xdotool search --sync --onlyvisible --name 'バージョン情報$' | head -1)
sleep 2
import -window "$about" docs/windows-about.png
xdotool windowfocus "$about" key Return  # its OK button is the default one
sleep 2
if xdotool search --onlyvisible --name 'バージョン情報$' >/dev/null; then
  echo "the About box did not close on Enter" >&2
  exit 1
fi
open_menu
xdotool mousemove $((left + 30)) $((top + 10)) click 1  # 設定(&S), the first item
settings=$(xdotool search --sync --onlyvisible --name '設定$' | head -1)
sleep 2
import -window "$settings" docs/windows-settings.png
wine taskkill /im corvane.exe </dev/null >/dev/null 2>&1
for _ in $(seq 100); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null || break; sleep 0.2; done

# The rest in a Wine desktop of the display's size: its taskbar has the icon at the right end.
desktop() {
  CORVANE_TEST_PORT=$port wine explorer /desktop=corvane,800x600 "$dir/corvane.exe" \
    </dev/null >/dev/null 2>&1 &
}
# Port 8080 as users see it, unless something here holds it.
port=8080
python3 -c 'import socket; socket.socket().bind(("0.0.0.0", 8080))' 2>/dev/null ||
  port=$(free_port)

# Another program on the port: the box says what to do.
python3 -c "import socket, time; s = socket.socket(); s.bind(('0.0.0.0', $port)); s.listen(); time.sleep(60)" &
holder=$!
sleep 1
desktop
box=$(xdotool search --sync --onlyvisible --name '^Corvane$' | head -1)
sleep 2
import -window "$box" docs/windows-bind-box.png
xdotool key --window "$box" space  # Return would be left pressed
kill "$holder"
sleep 3

desktop
for _ in $(seq 100); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.2; done
sleep 2
# The tip: the pointer rests on the icon.
xdotool mousemove 789 589 mousemove 790 590
sleep 3
scrot -o -a 500,548,300,52 docs/windows-tip.png
# A refused target: the browser gets its page, the icon a notification.
xdotool mousemove 400 300
curl -s -o /dev/null -x "http://127.0.0.1:$port" "http://127.0.0.1:9/" || true
sleep 3.5
scrot -o -a 370,488,430,112 docs/windows-notice.png
echo "docs/windows-{menu,settings,about,bind-box,tip,notice}.png written"
