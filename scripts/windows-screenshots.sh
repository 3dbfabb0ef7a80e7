#!/usr/bin/env bash
# Takes docs/windows-menu.png, docs/windows-settings.png, docs/windows-bind-box.png,
# docs/windows-tip.png and docs/windows-notice.png in a Wine desktop with its taskbar:
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
# Every picture in a Wine desktop of the display's size, which draws the windows' title bars
# itself: its taskbar has the icon at the right end.
desktop() {
  CORVANE_TEST_PORT=$port wine explorer /desktop=corvane,800x600 "$dir/corvane.exe" \
    </dev/null >/dev/null 2>&1 &
}
# Port 8080 as users see it, unless something here holds it.
port=8080
python3 -c 'import socket; socket.socket().bind(("0.0.0.0", 8080))' 2>/dev/null ||
  port=$(free_port)
# What the desktop shows above its taskbar, cut to what differs from its plain background:
# prints the place of what is left, WIDTHxHEIGHT+LEFT+TOP.
shown_above_taskbar() {
  scrot -o -a 0,0,800,560 "$1"
  convert "$1" -format '%@' info:
}

desktop
for _ in $(seq 100); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.2; done
sleep 3
# A second start in the same desktop opens the running one's menu at the pointer, as a click on
# its icon does: the menu with its four items.
xdotool mousemove 300 200
CORVANE_TEST_PORT=$port wine explorer /desktop=corvane,800x600 "$dir/corvane.exe" \
  </dev/null >/dev/null 2>&1
sleep 3
shot=$(mktemp --suffix=.png)
place=$(shown_above_taskbar "$shot")
convert "$shot" -crop "$place" +repage docs/windows-menu.png
IFS='x+' read -r _ _ left top <<<"$place"
xdotool mousemove $((left + 30)) $((top + 10)) click 1  # 設定(&S), the first item
sleep 3
place=$(shown_above_taskbar "$shot")
convert "$shot" -crop "$place" +repage docs/windows-settings.png
rm -f "$shot"
# Ended outright: the settings dialog, still open, would hold off a request to close.
wine taskkill /f /im corvane.exe </dev/null >/dev/null 2>&1
for _ in $(seq 100); do (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null || break; sleep 0.2; done
sleep 3

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
echo "docs/windows-{menu,settings,bind-box,tip,notice}.png written"
