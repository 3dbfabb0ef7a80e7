#!/usr/bin/env bash
# Takes docs/windows-menu.png and docs/windows-settings.png: build-windows/corvane.exe under Wine
# on a virtual display, the Japanese dialog and menu fonts drawn with IPAPGothic. Run
# scripts/windows-ci.sh (or build build-windows) first.
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

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
CORVANE_TEST_PORT=$port wine "$dir/corvane.exe" </dev/null >/dev/null 2>&1 &
sleep 15
# A second start opens the running one's menu at the pointer, as a click on its icon does.
xdotool mousemove 560 560
CORVANE_TEST_PORT=$port wine "$dir/corvane.exe" </dev/null >/dev/null 2>&1
sleep 12
# The menu opens upwards from the pointer.
scrot -o -a 550,485,145,85 docs/windows-menu.png
xdotool mousemove 590 508 click 1  # 設定(&S)
sleep 10
scrot -o -a 245,192,310,207 docs/windows-settings.png
echo "docs/windows-menu.png and docs/windows-settings.png written"
