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
    times="$times$(printf '%-44s %5d s' "$1" $((now - last)))
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

# compile DIR CMAKE OPTIONS...: configures and compiles DIR, at the priority $nicer gives.
nicer=""
compile() {
    dir=$1
    shift
    $nicer cmake -S . -B "$dir" -G Ninja -DKAVLET_WERROR=ON "$@"
    $nicer cmake --build "$dir" -j "$jobs"
}
# run_tests DIR CTEST OPTIONS...
run_tests() {
    dir=$1
    shift
    ctest --test-dir "$dir" --output-on-failure -j "$testJobs" "$@"
}
# Ends a process and every process under it.
end_tree() {
    for child in $(pgrep -P "$1"); do end_tree "$child"; done
    kill "$1" 2>/dev/null || true
}

# The Windows build and its unit tests under Wine. Wine's server stays a minute after its last
# program; it is ended once its tests are done, and on any way out (as are the builds compiling
# in the background below).
stop_wine() {
    WINEPREFIX="$(pwd)/build-win/wine-prefix" sh scripts/wine-run.sh --stop
}
later=""
laterLog=""
on_exit() {
    if [ -n "$later" ]; then end_tree "$later"; fi
    if [ -n "$laterLog" ]; then rm -f "$laterLog"; fi
    stop_wine
}
trap on_exit EXIT
compile build-win -DCMAKE_BUILD_TYPE=Release -DKAVLET_BUILD_UI=OFF \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
took "build-win: configure and compile"
run_tests build-win
took "build-win: tests"
compile build-test -DCMAKE_BUILD_TYPE=Debug -DKAVLET_SANITIZE=ON \
    -DKAVLET_WINDOWS_BUILD="$(pwd)/build-win"
took "build-test: configure and compile"

# The ThreadSanitizer and optimised builds compile while the sanitizer build's tests run, at a
# lower priority: those tests mostly wait, and leave more than a core idle. Neither build
# compiles what it would not run: the programs whose every test waits in real time, the fuzz
# corpora's replays (run in build-test, under the sanitizers) and, under ThreadSanitizer, the
# programs whose tests run no threads. Their output is shown once the tests are done.
laterLog=$(mktemp)
(
    nicer="nice -n 10"
    compile build-tsan -DCMAKE_BUILD_TYPE=Debug -DKAVLET_TSAN=ON -DKAVLET_BUILD_UI=OFF \
        -DKAVLET_REALTIME_TESTS=OFF -DKAVLET_FUZZ_REPLAY=OFF
    compile build-release -DCMAKE_BUILD_TYPE=Release -DKAVLET_REALTIME_TESTS=OFF \
        -DKAVLET_FUZZ_REPLAY=OFF
) > "$laterLog" 2>&1 &
later=$!
run_tests build-test
took "build-test: tests (two builds compiling)"
stop_wine
# The window tests that look at a screen, again on an X server: what a screen shows, not only
# the headless platform. One at a time: what a test reads off the screen is its own window's
# only while no other test's window lies over it.
KAVLET_TEST_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
    ctest --test-dir build-test --output-on-failure -j 1 -L screen
took "build-test: screen tests on Xvfb"
status=0
wait "$later" || status=$?
later=""
cat "$laterLog"
rm -f "$laterLog"
if [ "$status" -ne 0 ]; then
    echo "test.sh: compiling build-tsan or build-release failed (status $status)" >&2
    exit 1
fi
took "build-tsan, build-release: rest of compile"
run_tests build-tsan -LE realtime
took "build-tsan: tests"
run_tests build-release -LE realtime
took "build-release: tests"

# The packages, made from the Release and Windows builds above, then each installed, used and
# removed again: the .deb with apt-get on this machine, the Windows installer under Wine.
sh scripts/package.sh
took "packages: made"
sh scripts/test-deb.sh
sh scripts/test-windows-package.sh
took "packages: installed and tried"
printf '\nWhere the time went:\n%s%-44s %5d s\n' "$times" total $(($(date +%s) - started))
