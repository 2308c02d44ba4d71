#!/bin/sh
# Mutation check (on demand, not part of the test command; installs what it needs like the test
# command, so it runs as root on Debian 12): plants each fault of
# tests/mutations.txt, one at a time, in a copy of the committed tree, rebuilds it, and runs the
# tests most likely to catch it, then the whole suite only when those pass. Prints a table of
# the faults, caught or not, by which test and how soon, and the score. The developer's own tree
# is never changed: the copy lives in build-mutate/.
#
# Faults of the Windows program (files under win/, serial/win32/, serial/net/win32/, or a fault
# marked "platform: windows", such as one in an _WIN32 branch) are planted in the copy's Windows
# build (build-win, MinGW-w64) and scored by the Wine tests: its unit tests under Wine and the
# tests labelled wine of the Linux build, which runs its programs. All others are planted in the
# Linux Debug build and scored by its tests without Wine (ctest -LE wine).
#
# Before any fault, the likely tests of every fault chosen run on the unchanged copy: a failing
# baseline stops the script, and each program's time there sets its limit with a fault (a fault
# that makes it hang counts as caught once that limit is out).
#
#   sh scripts/mutate.sh [-j N] [--dirty] [--likely-only] [--check] [--list FILE] [ID...]
#
#   ID...         only these faults (default: all of them)
#   -j N          parallel build jobs and ctest jobs (default 2)
#   --dirty       copy the working tree as it is, uncommitted changes included (default: HEAD)
#   --list FILE   another list of faults (default: tests/mutations.txt)
#   --likely-only never fall back to the whole suite
#   --check       only check that every fault of the list still fits the code
#   --scratch DIR the copy's folder in the project (default build-mutate; keep it build-*)
[ -n "$BASH_VERSION" ] || exec bash "$0" "$@"
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=2
dirty=0
likelyOnly=0
checkOnly=0
scratchName=build-mutate
list="$root/tests/mutations.txt"
ids=()
while [ $# -gt 0 ]; do
    case "$1" in
        -j) jobs=$2; shift 2 ;;
        -j*) jobs=${1#-j}; shift ;;
        --dirty) dirty=1; shift ;;
        --list) list=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
        --likely-only) likelyOnly=1; shift ;;
        --check) checkOnly=1; shift ;;
        --scratch) scratchName=$2; shift 2 ;;
        -h|--help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "mutate.sh: unknown option $1" >&2; exit 2 ;;
        *) ids+=("$1"); shift ;;
    esac
done

scratch="$root/$scratchName"
# What the builds and the Wine tests need, as the test command installs it (Debian 12, as root):
# the check runs on a fresh machine too.
if [ "$checkOnly" = 0 ]; then
    mkdir -p "$scratch"
    sh "$root/scripts/install-deps.sh" test > "$scratch/install.log" 2>&1 ||
        { echo "mutate: installing what the builds need failed: $scratch/install.log" >&2; exit 2; }
fi
tree="$scratch/tree"
build="$tree/build-test"  # the same relative layout as a developer's build-test: ccache hits
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-/work} CCACHE_NOHASHDIR=1 QT_QPA_PLATFORM=offscreen
buildWin="$tree/build-win"
# ccache when it is there (the copies share compiled objects with the developers' builds).
launcher=()
if command -v ccache > /dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# A program's limit with a fault: this many times its time on the unchanged tree, at least
# minLimit seconds (a loaded machine is slower), at most 300 (ctest's own limit).
limitFactor=5
minLimit=20
declare -A limits=()

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
log() { echo "mutate: $*" >&2; }

# --- The copy: exported afresh, then only files whose content differs are copied over, so
# the build stays incremental and nothing planted before (an interrupted run) survives.
mkdir -p "$scratch"
rm -rf "$scratch/export" && mkdir -p "$scratch/export" "$tree"
if [ "$dirty" = 1 ]; then
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 -I{} sh -c '[ -f "{}" ] && printf "%s\0" "{}"' | tar -cf - --null -T -) |
        tar -xf - -C "$scratch/export"
else
    git -C "$root" archive HEAD | tar -xf - -C "$scratch/export"
fi
(cd "$scratch/export" && find . -type f) | while read -r f; do
    if ! cmp -s "$scratch/export/$f" "$tree/$f"; then
        mkdir -p "$(dirname "$tree/$f")" && cp "$scratch/export/$f" "$tree/$f"
    fi
done
(cd "$tree" && find . \( -path ./build-test -o -path ./build-win \) -prune -o -type f -print) |
while read -r f; do
    [ -e "$scratch/export/$f" ] || rm -f "$tree/$f"
done

# --- The list: one record a fault, checked whole before anything is planted.
records="$scratch/faults.tsv"
awk -v wanted="${ids[*]:-}" -v US=$'\037' '
    function flush() {
        if (id == "") return
        if (file == "" || n == 0 || tests == "") { print "fault " id ": file, find and tests are needed" > "/dev/stderr"; bad = 1 }
        if (wanted == "" || (" " wanted " ") ~ (" " id " ")) {
            if (platform == "" && file ~ /^(win|serial\/win32|serial\/net\/win32)\//) platform = "windows"
            if (platform == "") platform = "linux"
            if (platform != "linux" && platform != "windows") { print "fault " id ": platform is linux or windows" > "/dev/stderr"; bad = 1 }
            line = id US file US tests US equivalent US platform US n
            for (k = 1; k <= n; ++k) line = line US finds[k] US replaces[k]
            print line US "."
            seen[id] = 1
        }
        id = file = tests = equivalent = platform = ""; n = 0
    }
    function value(s) { sub(/^[a-z]+:( )?/, "", s); return s }
    /^#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^id:/ { flush(); id = value($0); next }
    /^file:/ { file = value($0); next }
    /^find:/ { finds[++n] = value($0); replaces[n] = ""; next }
    /^replace:/ { replaces[n] = value($0); next }
    /^tests:/ { tests = value($0); next }
    /^equivalent:/ { equivalent = value($0); next }
    /^platform:/ { platform = value($0); next }
    { print "mutations list: cannot read: " $0 > "/dev/stderr"; bad = 1 }
    END {
        flush()
        split(wanted, w, " ")
        for (i in w) if (!(w[i] in seen)) { print "no fault named " w[i] > "/dev/stderr"; bad = 1 }
        exit bad
    }' "$list" > "$records" || exit 2

# Every find must name exactly one line of its file as committed.
problems=0
while IFS=$'\037' read -r -a f <&3; do
    id=${f[0]} file=${f[1]} n=${f[5]}
    if [ ! -f "$tree/$file" ]; then log "$id: no file $file"; problems=1; continue; fi
    for ((k = 0; k < n; ++k)); do
        find=${f[6 + 2 * k]}
        count=$(MUTATE_S=$find awk 'index($0, ENVIRON["MUTATE_S"]) { ++c } END { print c + 0 }' "$tree/$file")
        if [ "$count" != 1 ]; then
            log "$id: '$find' is on $count lines of $file, not on one"
            problems=1
        fi
    done
done 3< "$records"
[ "$problems" = 0 ] || { log "the list no longer fits the code: fix tests/mutations.txt"; exit 2; }
if [ "$checkOnly" = 1 ]; then log "$(wc -l < "$records") faults fit the code"; exit 0; fi

# --- The builds: the Linux Debug build, and the Windows build with the Wine tests when a fault
# of the Windows program is chosen.
windows=0
while IFS=$'\037' read -r -a f <&3; do
    [ "${f[4]}" = windows ] && windows=1
done 3< "$records"
if [ "$windows" = 1 ]; then
    if [ ! -f "$buildWin/build.ninja" ]; then
        cmake -S "$tree" -B "$buildWin" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVLET_WERROR=ON \
            -DKAVLET_BUILD_UI=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
            "${launcher[@]}" > "$scratch/configure-win.log" 2>&1 ||
            { log "configuring the Windows build failed: $scratch/configure-win.log"; exit 2; }
    fi
    log "building the unchanged copy for Windows"
    ninja -C "$buildWin" -j "$jobs" > "$scratch/build-win.log" 2>&1 ||
        { log "the unchanged tree does not build for Windows: $scratch/build-win.log"; exit 2; }
    stop_wine() {
        WINEPREFIX="$buildWin/wine-prefix" sh "$tree/scripts/wine-run.sh" --stop > /dev/null 2>&1
    }
fi
windowsOption=()
[ "$windows" = 1 ] && windowsOption=(-DKAVLET_WINDOWS_BUILD="$buildWin")
if [ ! -f "$build/build.ninja" ] || [ "$windows" = 1 ]; then
    cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKAVLET_WERROR=ON \
        "${launcher[@]}" "${windowsOption[@]}" > "$scratch/configure.log" 2>&1 ||
        { log "configuring failed: $scratch/configure.log"; exit 2; }
fi
log "building the unchanged copy"
ninja -C "$build" -j "$jobs" > "$scratch/build.log" 2>&1 ||
    { log "the unchanged tree does not build: $scratch/build.log"; exit 2; }

# run_likely PLATFORM TEST LIMIT LOG: one entry of a tests field (PROGRAM or PROGRAM:FILTER).
# A program of the Windows build's own tests (build-win/tests/windows/PROGRAM.exe) runs under
# Wine; every other is a program of the Linux build (the Wine tests among them).
run_likely() {
    local platform=$1 t=$2 limit=$3 out=$4 program filter
    program=${t%%:*}
    filter=""
    [ "$t" != "$program" ] && filter=${t#*:}
    if [ "$platform" = windows ] && [ -f "$buildWin/tests/windows/$program.exe" ]; then
        (cd "$buildWin/tests/windows" && WINEPREFIX="$buildWin/wine-prefix" timeout "$limit" \
            sh "$tree/scripts/wine-run.sh" "./$program.exe" --gtest_fail_fast \
            ${filter:+--gtest_filter="$filter"}) > "$out" 2>&1
    else
        (cd "$build/tests" && timeout "$limit" "./$program" --gtest_fail_fast \
            ${filter:+--gtest_filter="$filter"}) > "$out" 2>&1
    fi
}

# The whole suite of a platform: without Wine for the Linux programs; for the Windows programs
# the Windows build's unit tests and the Linux build's tests labelled wine.
run_suite() {
    local platform=$1 out=$2
    if [ "$platform" = windows ]; then
        { ctest --test-dir "$buildWin" -j "$jobs" --stop-on-failure &&
            ctest --test-dir "$build" -L wine -j "$jobs" --stop-on-failure; } > "$out" 2>&1
    else
        ctest --test-dir "$build" -LE wine -j "$jobs" --stop-on-failure > "$out" 2>&1
    fi
}

# --- The baseline: every likely test of the faults chosen, once each, on the unchanged copy.
log "baseline: the likely tests on the unchanged copy"
declare -A baselineDone=()
while IFS=$'\037' read -r -a f <&3; do
    platform=${f[4]}
    for t in ${f[2]}; do
        key="$platform $t"
        [ -n "${baselineDone[$key]:-}" ] && continue
        baselineDone[$key]=1
        t0=$(now)
        if ! run_likely "$platform" "$t" 300 "$scratch/baseline.log"; then
            cp "$scratch/baseline.log" "$scratch/baseline-failed.log"
            log "baseline: $t fails on the unchanged tree ($platform; $scratch/baseline-failed.log)"
            exit 2
        fi
        took=$(elapsed "$t0")
        limits[$key]=$(awk -v t="$took" -v f="$limitFactor" -v m="$minLimit" \
            'BEGIN { l = int(t * f + 0.999); if (l < m) l = m; if (l > 300) l = 300; print l }')
        log "baseline: $t ($platform) ${took} s, limit ${limits[$key]} s"
    done
done 3< "$records"

# Restores the planted file, whatever happens (Ctrl-C included). The copy gets a new time, so
# the next build compiles it again.
planted=""
restore() {
    if [ -n "$planted" ]; then cp "$scratch/original" "$tree/$planted"; planted=""; fi
}
finish() {
    restore
    if [ "$windows" = 1 ]; then stop_wine; fi
}
trap 'finish' EXIT
trap 'finish; exit 130' INT TERM HUP

# plant ID FILE N FIND REPLACE...: every find is looked up in the unchanged file.
plant() {
    local file=$1 n=$2
    shift 2
    cp "$tree/$file" "$scratch/original"
    planted=$file
    local k
    for ((k = 1; k <= n; ++k)); do
        export "MUTATE_F$k=$1" "MUTATE_R$k=$2"
        shift 2
    done
    MUTATE_N=$n awk '
        BEGIN { n = ENVIRON["MUTATE_N"] }
        {
            line = $0
            for (k = 1; k <= n; ++k) {
                s = ENVIRON["MUTATE_F" k]
                at = index($0, s)
                if (at) { line = substr($0, 1, at - 1) ENVIRON["MUTATE_R" k] substr($0, at + length(s)); break }
            }
            print line
        }' "$scratch/original" > "$tree/$file"
}

# The programs named by a fault's tests field, as ninja targets.
targets_of() {
    local t out=()
    for t in $1; do out+=("${t%%:*}"); done
    printf '%s\n' "${out[@]}" | sort -u
}

results="$scratch/results.tsv"
: > "$results"
started=$(now)
while IFS=$'\037' read -r -a f <&3; do
    id=${f[0]} file=${f[1]} tests=${f[2]} equivalent=${f[3]} platform=${f[4]} n=${f[5]}
    restore
    plant "$file" "$n" "${f[@]:6}"
    if cmp -s "$scratch/original" "$tree/$file"; then
        log "$id: planting changed nothing"
        echo -e "$id\terror\tnothing planted\t-" >> "$results"
        restore
        continue
    fi
    log "$id: planted in $file ($platform), building"
    if [ "$platform" = windows ]; then
        built() { ninja -C "$buildWin" -j "$jobs"; }  # the programs the Wine tests run
    else
        mapfile -t targets < <(targets_of "$tests")
        built() { ninja -C "$build" -j "$jobs" "${targets[@]}"; }
    fi
    if ! built > "$scratch/fault.log" 2>&1; then
        log "$id: does not build (see $scratch/fault.log)"
        cp "$scratch/fault.log" "$scratch/$id.build.log"
        echo -e "$id\terror\tdoes not build\t-" >> "$results"
        restore
        continue
    fi
    t0=$(now)
    result=missed by="-" when="-"
    for t in $tests; do
        program=${t%%:*}
        limit=${limits["$platform $t"]}
        run_likely "$platform" "$t" "$limit" "$scratch/fault.log"
        rc=$?
        if [ "$rc" != 0 ]; then
            result=caught when=$(elapsed "$t0")
            if [ "$rc" = 124 ]; then
                by="$program (hung, ${limit} s)"
            else
                by=$(grep -m1 '^\[  FAILED  \] ' "$scratch/fault.log" | sed 's/^\[  FAILED  \] //; s/ (.*//; s/, where.*//')
                [ -n "$by" ] || by="$program (exit $rc)"
            fi
            cp "$scratch/fault.log" "$scratch/$id.log"
            break
        fi
    done
    if [ "$result" = missed ] && [ -z "$equivalent" ] && [ "$likelyOnly" = 0 ]; then
        log "$id: the likely tests pass, running the whole suite"
        if [ "$platform" = linux ] && ! ninja -C "$build" -j "$jobs" > "$scratch/fault.log" 2>&1; then
            result=error by="the rest does not build"
        else
            run_suite "$platform" "$scratch/fault.log"
            if [ $? != 0 ]; then
                result=caught when=$(elapsed "$t0")
                by=$(grep -m1 -E '\*\*\*(Failed|Timeout|Exception)|\(Failed\)|\(Timeout\)' "$scratch/fault.log" |
                    sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: //; s/ \.+.*//; s/^ *[0-9]+ - //; s/ \(.*//')
                by="$by (whole suite)"
                cp "$scratch/fault.log" "$scratch/$id.log"
            fi
        fi
    fi
    [ -n "$equivalent" ] && [ "$result" = missed ] && result=equivalent
    [ -n "$equivalent" ] && [ "$result" = caught ] && by="$by (marked equivalent!)"
    log "$id: $result ${by}"
    echo -e "$id\t$result\t$by\t$when" >> "$results"
    restore
done 3< "$records"

# Rebuilt unchanged, so the copy's builds are ready for the next run.
ninja -C "$build" -j "$jobs" > "$scratch/build.log" 2>&1
if [ "$windows" = 1 ]; then ninja -C "$buildWin" -j "$jobs" > "$scratch/build-win.log" 2>&1; fi

awk -F'\t' -v total="$(elapsed "$started")" '
    BEGIN { printf "%-30s %-10s %-8s %s\n", "fault", "result", "first(s)", "caught by" }
    {
        printf "%-30s %-10s %-8s %s\n", $1, $2, $4, $3
        if ($2 == "caught") ++caught
        if ($2 == "caught" || $2 == "missed") ++scored
        if ($2 == "equivalent") ++equivalent
        if ($2 == "error") ++errors
    }
    END {
        printf "\nscore: %d of %d caught (%.0f%%); %d equivalent, not scored; %d errors; %s s\n",
            caught, scored, scored ? 100 * caught / scored : 0, equivalent, errors, total
        exit errors > 0
    }' "$results"
