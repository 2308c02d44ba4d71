#!/bin/sh
# test-deb.sh: tries the Debian package that scripts/package-deb.sh made (dist/kavlet_*.deb), as
# root on Debian 12: installs it with apt-get; runs the installed kavlet-flash --version; flashes
# a small image into the installed virtual head (kavlet-head on a pseudo-terminal) with the
# installed kavlet-flash and compares what the head received; starts the installed window on an
# X server of its own (Xvfb) and waits for it to map its main window, then closes it; removes the
# package with --purge and checks that none of its files is left. Each failing step says which it
# was; the package, the head, the window and the X server go on any way out.
#
# The window opens COM1 (/dev/ttyS0) at start-up, and /dev/ttyS0 may be the machine's console: it
# runs in a private mount namespace with a pseudo-terminal (a second virtual head) bound over it.
set -eu
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
step="starting"
fail() {
    echo "test-deb.sh: FAILED: $step: $*" >&2
    exit 1
}
say() {
    step=$1
    echo "test-deb.sh: $step" >&2
}

[ "$(id -u)" -eq 0 ] || fail "run as root"
set -- dist/kavlet_*.deb
{ [ $# -eq 1 ] && [ -f "$1" ]; } || fail "no single dist/kavlet_*.deb (sh scripts/package-deb.sh)"
deb=$1
for tool in apt-get dpkg Xvfb xwininfo unshare sha256sum; do
    command -v "$tool" >/dev/null || fail "no $tool (sh scripts/install-deps.sh package)"
done
if dpkg-query -W -f '${Status}' kavlet 2>/dev/null | grep -q 'ok installed'; then
    fail "kavlet is installed already; remove it first (apt-get remove --purge kavlet)"
fi

work=$(mktemp -d)
pids=""
installed=no
finish() {
    status=$?
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    if [ "$installed" = yes ]; then
        apt-get remove --purge -y kavlet >/dev/null 2>&1 ||
            echo "test-deb.sh: could not remove kavlet" >&2
    fi
    rm -rf "$work"
    if [ "$status" -eq 0 ]; then
        echo "test-deb.sh: passed" >&2
    fi
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# until_within SECONDS COMMAND...: runs COMMAND every tenth of a second until it succeeds;
# fails once SECONDS have passed.
until_within() {
    limit=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$limit" ] || return 1
        sleep 0.1
    done
}

# start_head LOG [OPTION...]: starts the installed virtual head, its output in LOG; sets pts to
# the pseudo-terminal it made.
start_head() {
    log=$1
    shift
    /usr/bin/kavlet-head "$@" >"$log" 2>&1 &
    pids="$pids $!"
    until_within 30 grep -q '^kavlet-head: port /dev/pts/' "$log" ||
        fail "kavlet-head printed no port: $(cat "$log")"
    pts=$(sed -n 's|^kavlet-head: port \(/dev/pts/[0-9]*\).*|\1|p' "$log" | head -n 1)
}

say "apt-get install ./$deb"
installed=yes
apt-get install -y "./$deb" || fail "apt-get could not install $deb"
version=$(dpkg-query -W -f '${Version}' kavlet) || fail "dpkg does not list kavlet"
for program in kavlet kavlet-flash kavlet-head; do
    [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "no /usr/bin/$program"
done

say "kavlet-flash --version"
out=$(/usr/bin/kavlet-flash --version) || fail "exit status $?"
[ "$out" = "kavlet-flash $version" ] || fail "printed '$out', not 'kavlet-flash $version'"

say "kavlet-flash sends an image to the virtual head"
head -c 10000 /dev/urandom >"$work/image.bin"
start_head "$work/head.log" --address 1 --protocol pelco-d --speed 2400 --expect-size 10000 \
    --output "$work/received.bin"
head_pid=${pids##* }
/usr/bin/kavlet-flash --port "$pts" --address 1 "$work/image.bin" >"$work/flash.log" 2>&1 ||
    fail "kavlet-flash exited with $?: $(cat "$work/flash.log")"
kill -TERM "$head_pid"
wait "$head_pid" || fail "kavlet-head exited with $?: $(cat "$work/head.log")"
pids=${pids% *}
sum=$(sha256sum "$work/image.bin" | cut -d ' ' -f 1)
grep -q "image: 10000 bytes, sha256 $sum" "$work/head.log" ||
    fail "the head did not report the image (10000 bytes, sha256 $sum): $(cat "$work/head.log")"
cmp -s "$work/image.bin" "$work/received.bin" || fail "the head's image differs from the one sent"

say "the window maps on an X server"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids="$pids $!"
until_within 30 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
DISPLAY=:$(cat "$work/display")
export DISPLAY
# On the X server, whatever platform the caller chose for Qt (the test command runs the other
# window tests headless).
QT_QPA_PLATFORM=xcb
export QT_QPA_PLATFORM
# COM1: a pseudo-terminal over /dev/ttyS0, in the window's own mount namespace only.
start_head "$work/com1.log" --quiet
if [ -e /dev/ttyS0 ]; then
    # shellcheck disable=SC2016
    unshare -m --propagation private sh -c 'mount --bind "$1" /dev/ttyS0 && exec /usr/bin/kavlet' \
        sh "$pts" >"$work/window.log" 2>&1 &
else
    /usr/bin/kavlet >"$work/window.log" 2>&1 &
fi
window_pid=$!
pids="$pids $window_pid"
mapped() {
    kill -0 "$window_pid" 2>/dev/null || fail "kavlet ended: $(cat "$work/window.log")"
    id=$(LC_ALL=C.UTF-8 xwininfo -root -tree 2>/dev/null | sed -n 's/^ *\(0x[0-9a-f]*\) "[^"]*云台程序升级".*/\1/p' |
        head -n 1)
    [ -n "$id" ] && xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable'
}
until_within 60 mapped || fail "no main window mapped within 60 s: $(cat "$work/window.log")"
LC_ALL=C.UTF-8 xwininfo -id "$id" | sed -n 's/^xwininfo: //p' >&2
kill -TERM "$window_pid"
until_within 30 sh -c "! kill -0 $window_pid 2>/dev/null" || fail "kavlet did not end on SIGTERM"

say "apt-get remove --purge kavlet leaves none of its files"
dpkg -L kavlet >"$work/files" || fail "dpkg -L kavlet failed"
echo "test-deb.sh: dpkg -L kavlet:" >&2
sed 's/^/  /' "$work/files" >&2
apt-get remove --purge -y kavlet || fail "apt-get remove --purge failed"
installed=no
left=""
while IFS= read -r path; do
    { [ -n "$path" ] && [ "$path" != /. ]; } || continue
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        # A directory may stay when another package owns it too.
        dpkg -S "$path" >/dev/null 2>&1 || left="$left $path"
    elif [ -e "$path" ] || [ -L "$path" ]; then
        left="$left $path"
    fi
done <"$work/files"
[ -z "$left" ] || fail "left behind:$left"
