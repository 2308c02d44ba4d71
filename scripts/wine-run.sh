#!/bin/sh
# wine-run.sh PROGRAM.exe [ARGUMENT...]: runs a Windows program under Wine for the tests, in a way
# that can never reach this machine's own serial ports (its /dev/ttyS0 may be the console).
# wine-run.sh --prepare: only makes the prefix (tests do so before they link COM ports in it).
# wine-run.sh --stop: ends the prefix's wineserver and with it every Wine process of the prefix.
#
# - Every Wine process, wineboot and wineserver included, runs in a private mount namespace whose
#   /dev holds only null, zero, random, urandom, tty, ptmx, pts and shm. Wine links COM ports to
#   the ttyS devices it finds at the start of a session; here it finds none, and the links the
#   tests make to pseudo-terminals (under /dev/pts, which is the machine's own) stay as they are.
# - WINEPREFIX must be set. The prefix is made on first use, under a lock, since tests run in
#   parallel; wineserver is kept running between programs (-p), which makes each start cheap.
# - Before every run the prefix's com links are checked: one that points at a ttyS device (or
#   anywhere but a pseudo-terminal) stops the run with status 125, before Wine starts.
# - KAVLET_WINE_SHIM, when set, names a library to preload (tests/windows/wine_pty_shim.c: Wine's
#   WaitCommEvent wants modem lines, which a pseudo-terminal lacks).
#
# Exit status: the program's own, or 125 when Wine could not be run safely. Needs root (unshare
# and mount); Debian 12's wine64, and fonts-wine for the caption buttons' glyphs.
set -eu
: "${WINEPREFIX:?wine-run.sh: set WINEPREFIX}"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINESERVER="$wineserver"

refuse() {
    echo "wine-run.sh: $*" >&2
    exit 125
}
[ -x "$wine" ] || refuse "no $wine (Debian: apt-get install wine64)"

# The script that makes the private /dev, then runs its arguments there.
private_dev_script='
    set -e
    stage=$(mktemp -d)
    mount -t tmpfs -o mode=755 tmpfs "$stage"
    for n in null zero urandom random tty ptmx; do
        [ -e "/dev/$n" ] || continue
        touch "$stage/$n"
        mount --bind "/dev/$n" "$stage/$n"
    done
    for d in pts shm; do
        [ -d "/dev/$d" ] || continue
        mkdir "$stage/$d"
        mount --bind "/dev/$d" "$stage/$d"
    done
    mount --move "$stage" /dev
    if ls /dev | grep -qi ttyS; then exit 125; fi
    exec "$@"'
private_dev() {
    unshare -m --propagation private sh -c "$private_dev_script" sh "$@"
}

# Refuses a prefix whose com links lead anywhere but to a pseudo-terminal.
check_links() {
    [ -d "$WINEPREFIX/dosdevices" ] || return 0
    for link in "$WINEPREFIX"/dosdevices/com*; do
        # A link that a test removes meanwhile is no longer a concern.
        target=$(readlink "$link") || continue
        case "$target" in
        /dev/pts/[0-9]*) ;;
        *) refuse "$link points at '$target', not a pseudo-terminal; stopping" ;;
        esac
    done
}

if [ "${1:-}" = --stop ]; then
    [ -d "$WINEPREFIX" ] || exit 0
    private_dev "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    exit 0
fi

# The prefix, made once; parallel callers wait for the first one.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.kavlet-ready" ]; then
    # wineboot has been seen to fail once on a fresh prefix (in CI, its cause not known) where
    # the next try passed: a failure is tried again on a clean prefix, twice, and the last
    # one's output shown.
    log=$WINEPREFIX.wineboot.log
    tries=0
    while :; do
        private_dev "$wineserver" -k </dev/null >/dev/null 2>&1 || true
        rm -rf "$WINEPREFIX"
        if private_dev "$wine" wineboot -i </dev/null >"$log" 2>&1; then
            break
        fi
        tries=$((tries + 1))
        if [ "$tries" -ge 3 ]; then
            echo "wine-run.sh: wineboot failed $tries times; its output the last time:" >&2
            tail -n 40 "$log" >&2
            refuse "wineboot failed"
        fi
        echo "wine-run.sh: wineboot failed; trying again on a clean prefix" >&2
    done
    rm -f "$log"
    private_dev "$wineserver" -w
    # wineboot linked no port here; remove any link it made all the same.
    rm -f "$WINEPREFIX"/dosdevices/com*
    touch "$WINEPREFIX/.kavlet-ready"
fi
# Wine draws its windows' caption buttons (minimise, maximise, close) in Marlett, and this Wine
# looks for fonts only in the prefix's C:\windows\Fonts and fontconfig's folders, not in
# Debian's fonts-wine: without a copy in the prefix the buttons show letters. Also for a prefix
# made before the font was installed.
marlett=/usr/share/wine/fonts/marlett.ttf
fonts=$WINEPREFIX/drive_c/windows/Fonts
if [ -f "$marlett" ] && [ -d "$fonts" ] && [ ! -f "$fonts/marlett.ttf" ]; then
    cp "$marlett" "$fonts/marlett.ttf"
fi
check_links
if [ "${1:-}" = --prepare ]; then
    exit 0
fi
# A wineserver that stays a minute after its last program: later runs start at once. When it
# is a new one (an old one makes this fail), wineboot starts Wine's own services now, with no
# output of ours: started by the program below, they would hold its standard error open for
# as long as the server lives, and whoever reads it would wait for them.
if private_dev "$wineserver" -p60 </dev/null >/dev/null 2>&1; then
    private_dev "$wine" wineboot </dev/null >/dev/null 2>&1 || true
fi
flock -u 9
exec 9>&-

check_links
if [ -n "${KAVLET_WINE_SHIM:-}" ]; then
    LD_PRELOAD="$KAVLET_WINE_SHIM${LD_PRELOAD:+:$LD_PRELOAD}"
    export LD_PRELOAD
fi
exec unshare -m --propagation private sh -c "$private_dev_script" sh "$wine" "$@"
