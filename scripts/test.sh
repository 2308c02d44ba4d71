#!/bin/sh
# Installs what the tests need, then builds and runs every test: the Windows build (MinGW-w64)
# with its unit tests under Wine; a Debug build with AddressSanitizer + UndefinedBehaviorSanitizer
# that runs every test once (the Windows programs under Wine against pseudo-terminals among
# them), and the window tests that look at a screen once more on a real X server; a
# ThreadSanitizer build of everything below the window (Qt itself is not built for it) and the
# optimised build that users get, which both skip the tests that wait in real time (label
# realtime: child processes, pseudo-terminals, Wine), as they add nothing there; and the
# packages made of the optimised and the Windows build, installed, used and removed again.
# Warnings are errors in all of them. Tests use pseudo-terminals and in-memory lines only; they
# never open the machine's serial devices, and Wine runs in a private /dev without them
# (scripts/wine-run.sh).
set -eu
cd "$(dirname "$0")/.."
# Each step's time, printed at the end: where the command's minutes go.
started=$(date +%s)
last=$started
times=""
took() {
    now=$(date +%s)
    times="$times$(printf '%-34s %5d s' "$1" $((now - last)))
"
    last=$now
}

sh scripts/install-deps.sh test
took "set-up: packages installed"
jobs=$(nproc)
# Tests mostly wait (real pauses, child processes, Wine): the sanitizer build's whole suite keeps
# about a third of one core busy. Four at once per core.
testJobs=$((jobs * 4))
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# build_and_test DIR "CTEST OPTIONS" CMAKE OPTIONS...
build_and_test() {
    dir=$1
    select=$2
    shift 2
    cmake -S . -B "$dir" -G Ninja -DKAVLET_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    took "$dir: configure and compile"
    # shellcheck disable=SC2086
    ctest --test-dir "$dir" --output-on-failure -j "$testJobs" $select
    took "$dir: tests"
}

# The Windows build and its unit tests under Wine. Wine's server stays a minute after its last
# program; it is ended once its tests are done, and on any way out.
stop_wine() {
    WINEPREFIX="$(pwd)/build-win/wine-prefix" sh scripts/wine-run.sh --stop
}
trap stop_wine EXIT
build_and_test build-win "" -DCMAKE_BUILD_TYPE=Release -DKAVLET_BUILD_UI=OFF \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
build_and_test build-test "" -DCMAKE_BUILD_TYPE=Debug -DKAVLET_SANITIZE=ON \
    -DKAVLET_WINDOWS_BUILD="$(pwd)/build-win"
stop_wine
# The window tests that look at a screen, again on an X server: what a screen shows, not only
# the headless platform. One at a time: what a test reads off the screen is its own window's
# only while no other test's window lies over it.
KAVLET_TEST_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
    ctest --test-dir build-test --output-on-failure -j 1 -L screen
took "build-test: screen tests on Xvfb"

# Neither compiles what it would not run: the programs whose every test waits in real time, the
# fuzz corpora's replays (run above, under the sanitizers) and, under ThreadSanitizer, the
# programs whose tests run no threads.
build_and_test build-tsan "-LE realtime" -DCMAKE_BUILD_TYPE=Debug -DKAVLET_TSAN=ON \
    -DKAVLET_BUILD_UI=OFF -DKAVLET_REALTIME_TESTS=OFF -DKAVLET_FUZZ_REPLAY=OFF
build_and_test build-release "-LE realtime" -DCMAKE_BUILD_TYPE=Release \
    -DKAVLET_REALTIME_TESTS=OFF -DKAVLET_FUZZ_REPLAY=OFF

# The packages, made from the Release and Windows builds above, then each installed, used and
# removed again: the .deb with apt-get on this machine, the Windows installer under Wine.
sh scripts/package.sh
took "packages: made"
sh scripts/test-deb.sh
sh scripts/test-windows-package.sh
took "packages: installed and tried"
printf '\nWhere the time went:\n%s%-34s %5d s\n' "$times" total $(($(date +%s) - started))
