#!/bin/sh
# Live fuzzing (on demand, not part of the test command or CI): builds the libFuzzer targets of
# tests/fuzz/ with clang 14 (-fsanitize=fuzzer,address,undefined) in build-fuzz/, runs each for
# the given minutes, merges the inputs that reach new code into its checked-in corpus
# tests/fuzz/corpus/<target>/ (libFuzzer's -merge=1, new edges only), and prints each target's executions per
# second, coverage (libFuzzer's cov:) and findings (the inputs that failed, kept in
# build-fuzz/findings/<target>/). Needs `sh scripts/install-deps.sh fuzz`.
#
#   sh scripts/fuzz.sh [TARGET...] [--minutes N] [--no-merge] [--build-only]
#
#   TARGET       engine_fuzz, presenter_fuzz, telnet_fuzz, json_fuzz, args_fuzz, hex_text_fuzz
#                (default: all of them)
#   --minutes N  how long each target runs (default 2), one after another, at nice 10
#   --no-merge   leave the corpus as it is
#   --build-only build the targets and stop
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
minutes=2
merge=1
buildOnly=0
targets=""
while [ $# -gt 0 ]; do
    case "$1" in
        --minutes) minutes=$2; shift 2 ;;
        --no-merge) merge=0; shift ;;
        --build-only) buildOnly=1; shift ;;
        -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
        -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
        *) targets="$targets $1"; shift ;;
    esac
done
[ -n "$targets" ] || targets="engine_fuzz presenter_fuzz telnet_fuzz json_fuzz args_fuzz hex_text_fuzz"

# The longest input each target reads, in bytes.
max_len() {
    case "$1" in
        engine_fuzz) echo 256 ;;
        presenter_fuzz) echo 512 ;;
        json_fuzz) echo 1024 ;;
        *) echo 4096 ;;
    esac
}

launcher=""
if command -v ccache >/dev/null 2>&1; then
    launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
fi
# Every library is instrumented for coverage and the sanitizers; the targets link libFuzzer.
# shellcheck disable=SC2086
mkdir -p "$build"
CC=clang-14 CXX=clang++-14 nice -n 10 cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVLET_FUZZ=ON -DKAVLET_BUILD_UI=OFF $launcher \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
# shellcheck disable=SC2086
nice -n 10 cmake --build "$build" -j2 --target $targets
[ "$buildOnly" = 0 ] || exit 0

summary=""
failed=0
for target in $targets; do
    corpus="$root/tests/fuzz/corpus/$target"
    fresh="$build/fresh/$target"
    findings="$build/findings/$target"
    log="$build/$target.log"
    rm -rf "$fresh" "$findings"
    mkdir -p "$corpus" "$fresh" "$findings"
    echo "== $target: $minutes minute(s)"
    # New inputs go to fresh/ (the first folder); the corpus is read as the start.
    nice -n 10 "$build/tests/$target" -max_total_time=$((minutes * 60)) -timeout=60 \
        -rss_limit_mb=4096 -max_len="$(max_len "$target")" -print_final_stats=1 \
        -artifact_prefix="$findings/" "$fresh" "$corpus" >"$log" 2>&1 || true
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    found=$(find "$findings" -type f | wc -l)
    if [ "$merge" = 1 ]; then
        before=$(find "$corpus" -type f | wc -l)
        # Only inputs that reach an edge the corpus does not (not a new count of the same edge),
        # so that the corpus stays a few dozen files.
        nice -n 10 "$build/tests/$target" -merge=1 -use_counters=0 -max_len="$(max_len "$target")" \
            "$corpus" "$fresh" >"$build/$target.merge.log" 2>&1 || true
        added=$(($(find "$corpus" -type f | wc -l) - before))
    else
        added=0
    fi
    line="$target: ${runs:-?} runs, ${speed:-?} exec/s, cov ${cov:-?}, $added input(s) merged, $found finding(s)"
    echo "$line"
    grep -E 'finding|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error' "$log" | head -n 5 || true
    summary="$summary$line\n"
    [ "$found" = 0 ] || failed=1
done
printf '\n%b' "$summary"
[ "$failed" = 0 ] || echo "findings are in $build/findings/: replay one with $build/tests/TARGET FILE"
exit "$failed"
