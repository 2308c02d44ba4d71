#!/bin/bash
# wine-screenshots.sh [DIR]: pictures of kavlet.exe under Wine, taken the way an operator walks
# through it, against the virtual head on a pseudo-terminal linked as COM5 (written to DIR,
# docs/screenshots by default): windows-message-box.png (COM1, opened at the start, is not
# there), windows-device-dialog.png, windows-main-window.png (during a transfer) and
# windows-about-box.png. kavlet-window-driver.exe presses the buttons.
#
# Needs build-win (kavlet.exe, the driver), build-test (kavlet-head, the shim), Xvfb and ImageMagick
# (import). Wine runs through scripts/wine-run.sh, in a prefix of its own set up for Chinese text
# (the driver's --prepare), in a glibc zh_CN.UTF-8 locale made into build-win/locale (so that
# Wine's own buttons read "确定").
set -eu
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
win=$PWD/build-win
driver=$win/tests/windows/kavlet-window-driver.exe
head=$PWD/build-test/tools/kavlet-head
# Wine's WaitCommEvent on a pseudo-terminal needs the tests' shim (tests/windows/wine_pty_shim.c).
export KAVLET_WINE_SHIM=$PWD/build-test/tests/libkavlet_wine_pty_shim.so
for need in "$win/win/kavlet.exe" "$driver" "$head" "$KAVLET_WINE_SHIM"; do
    [ -x "$need" ] || [ -f "$need" ] || { echo "wine-screenshots.sh: build $need first" >&2; exit 1; }
done
command -v import >/dev/null || { echo "wine-screenshots.sh: sh scripts/install-deps.sh screenshots" >&2; exit 1; }

export WINEPREFIX=$win/wine-prefix-screenshots LOCPATH=$win/locale LANG=zh_CN.UTF-8
[ -d "$LOCPATH/zh_CN.UTF-8" ] || { mkdir -p "$LOCPATH" && localedef -i zh_CN -f UTF-8 "$LOCPATH/zh_CN.UTF-8"; }
work=$(mktemp -d)
pids=""
finish() {
    sh scripts/wine-run.sh --stop
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    rm -f "$WINEPREFIX/dosdevices/com5"
    rm -rf "$work"
}
trap finish EXIT

Xvfb -displayfd 3 -screen 0 1280x1024x24 -noreset -nolisten tcp 3>"$work/display" 2>/dev/null &
pids="$pids $!"
until [ -s "$work/display" ]; do sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

mkdir -p "$out"
head -c 61605 /dev/urandom >"$work/firmware.bin"
"$head" --address 1 --protocol pelco-d --speed 2400 --expect-size 61605 --pace 115200 >"$work/head.log" &
pids="$pids $!"
until grep -q 'port /dev/pts/' "$work/head.log"; do sleep 0.1; done
pts=$(sed -n 's|.*port \(/dev/pts/[0-9]*\).*|\1|p' "$work/head.log" | head -n 1)

# A new session after the settings, so that it starts with them (the desktop among them).
sh scripts/wine-run.sh --stop
sh scripts/wine-run.sh "$driver" --prepare </dev/null >/dev/null 2>&1
sh scripts/wine-run.sh --stop
ln -sf "$pts" "$WINEPREFIX/dosdevices/com5"
sh scripts/wine-run.sh "$win/win/kavlet.exe" </dev/null >/dev/null 2>&1 &
coproc DRIVER { sh scripts/wine-run.sh "$driver" 2>/dev/null; }
ask() {
    echo "$1" >&"${DRIVER[1]}"
    IFS= read -r answer <&"${DRIVER[0]}"
    echo "$1 -> ${answer%$'\r'}" >&2
}
shot() {
    sleep 1  # the last drawing done
    import -window root -crop 800x600+0+0 +repage "$out/windows-$1.png"
}

ask main
ask "shown Open Com"
shot message-box
ask box
ask "port COM5"
ask "wait-enabled 1002"
ask "click 1002"
ask "file Z:${work//\//\\}\\firmware.bin"
ask "shown 选择设备"
shot device-dialog
ask device
ask "wait-enabled 1011"
ask "click 1011"
ask "wait-enabled 1003"
ask "click 1003"
sleep 2
shot main-window
ask box
ask about
shot about-box
ask "press 1 关于 Kavlet"
ask close
