#!/bin/sh
# Opt-in, not part of scripts/test.sh: cross-builds kavlet-flash.exe for 64-bit Windows with
# MinGW-w64, then runs it under Wine: --help, --version, --list-ports, and one image into the
# virtual head (the Linux kavlet-head) on a pseudo-terminal linked as COM1.
#
# Every Wine process runs in a private mount namespace whose /dev holds no ttyS device, so
# Wine never links a COM port to this machine's serial ports (ttyS0 may be its console); the
# prefix's com links are checked before each run. Wine's WaitCommEvent fails on a
# pseudo-terminal (it asks for modem lines, which a pseudo-terminal lacks): the transfer runs
# with scripts/wine-pty-shim.c preloaded. Needs root (unshare, mount). Debian 12.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
export DEBIAN_FRONTEND=noninteractive
need=""
for p in g++-mingw-w64-x86-64-posix wine64 cmake ninja-build g++ gcc; do
    dpkg -s "$p" >/dev/null 2>&1 || need="$need $p"
done
if [ -n "$need" ]; then
    apt-get update
    apt-get install -y --no-install-recommends $need
fi
wine=/usr/lib/wine/wine64
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

# The Windows build, and the Linux head to talk to.
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DKAVLET_BUILD_UI=OFF -DBUILD_TESTING=OFF -DKAVLET_WERROR=ON
cmake --build build-win -j "$jobs"
cmake -S . -B build-win-head -G Ninja -DKAVLET_BUILD_UI=OFF -DBUILD_TESTING=OFF
cmake --build build-win-head -j "$jobs" --target kavlet-head
exe=$root/build-win/cli/kavlet-flash.exe

work=$(mktemp -d /tmp/kavlet-wine.XXXXXX)
headPid=""
cleanup() {
    [ -n "$headPid" ] && kill "$headPid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
gcc -shared -fPIC -O2 -o "$work/wine-pty-shim.so" scripts/wine-pty-shim.c -ldl

# "$@" in a private mount namespace with a /dev of null, zero, random, urandom, tty, ptmx,
# pts and shm only.
private_dev() {
    unshare -m --propagation private sh -c '
        set -e
        stage=$(mktemp -d)
        mount -t tmpfs -o mode=755 tmpfs "$stage"
        for n in null zero urandom random tty ptmx; do
            touch "$stage/$n"
            mount --bind "/dev/$n" "$stage/$n"
        done
        mkdir "$stage/pts" "$stage/shm"
        mount --bind /dev/pts "$stage/pts"
        mount --bind /dev/shm "$stage/shm"
        mount --move "$stage" /dev
        exec "$@"' sh "$@"
}
# Refuses to go on when a com link of the prefix points at a ttyS device.
check_links() {
    [ -d "$WINEPREFIX/dosdevices" ] || return 0
    if ls -l "$WINEPREFIX/dosdevices/" | grep -i 'com[0-9].*ttyS'; then
        echo "test-windows: a COM link points at a ttyS device; stopping" >&2
        exit 1
    fi
}
run_wine() {
    check_links
    private_dev "$wine" "$@"
}

check_links
private_dev "$wine" wineboot -i
private_dev /usr/lib/wine/wineserver -w
check_links

run_wine "$exe" --help | grep -q "kavlet-flash --list-ports"
echo "ok: --help"
[ "$(run_wine "$exe" --version | tr -d "\r")" = "kavlet-flash 1.0" ]
echo "ok: --version"
run_wine "$exe" --list-ports
echo "ok: --list-ports"

# One image into the virtual head on a pseudo-terminal linked as COM1.
head -c 10000 /dev/urandom >"$work/image.bin"
mkfifo "$work/head.fifo"
"$root/build-win-head/tools/kavlet-head" --address 1 --expect-size 10000 \
    --output "$work/got.bin" >"$work/head.fifo" 2>&1 &
headPid=$!
exec 3<"$work/head.fifo"
read -r first <&3
pts=${first##* }
case "$pts" in /dev/pts/*) ;; *) echo "test-windows: no head: $first" >&2; exit 1 ;; esac
cat <&3 >"$work/head.log" &
ln -sfn "$pts" "$WINEPREFIX/dosdevices/com1"
check_links
cd "$work"
status=0
LD_PRELOAD="$work/wine-pty-shim.so" run_wine "$exe" --port COM1 --address 1 \
    --answer-timeout 5 image.bin || status=$?
cd "$root"
kill -INT "$headPid"
wait "$headPid" || true
headPid=""
[ "$status" -eq 0 ] || { echo "test-windows: kavlet-flash.exe exited $status" >&2; exit 1; }
cmp "$work/got.bin" "$work/image.bin"
echo "ok: 10000 bytes into the virtual head through Wine's COM1, image identical"
private_dev /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
