#!/bin/bash
# The transfer benchmark with Qt's accessibility bridge on, as on a desktop where a screen
# reader or the accessibility bus is enabled: Xvfb, a private D-Bus session bus, the AT-SPI
# bus and registry, the xcb platform and QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1. Installs what it
# needs on Debian 12 (run as root), builds the benchmark, runs it, checks that the AT-SPI
# registry sees the benchmark as an application, and sums up the tool's CPU.
#
#   scripts/a11y-benchmark.sh [--bridge off] [--listener] [--runs N] [benchmark options]
#
# --bridge off: the same X server and buses with the bridge left off (QAccessible inactive),
# to tell the bridge's cost from that of painting on an X server.
# --listener: a stand-in for a screen reader (scripts/at-listener.py) listens to the AT-SPI
# events during each run. Qt's bridge sends an event only when some client listens for its
# kind; without a listener the bridge is on but sends next to nothing.
# --runs N: N runs in a row, each summed up, then the medians (each column on its own).
# Benchmark options (--paced-kib N, --unpaced-kib N) are passed on.
# BUILD names the build folder (build-release, a Release build, by default); BENCHMARK, a
# benchmark program to run instead of the one built there (a copy built from changed sources,
# to compare the two in turns under the same load).
set -euo pipefail
cd "$(dirname "$0")/.."

bridge=on
listener=no
runs=1
pass=()
while [ $# -gt 0 ]; do
    case "$1" in
        --bridge) bridge="$2"; shift 2 ;;
        --runs) runs="$2"; shift 2 ;;
        --listener) listener=yes; shift ;;
        *) pass+=("$1"); shift ;;
    esac
done
build="${BUILD:-build-release}"

missing=""
for package in xvfb xauth dbus-daemon dbus-bin at-spi2-core python3-gi gir1.2-atspi-2.0; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends $missing
fi

if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target transfer_benchmark kavlet-head
benchmark="${BENCHMARK:-$build/tests/transfer_benchmark}"

work="$(mktemp -d)"
xvfb_pid=""
listener_pid=""
bus_pid=""
launcher_pid=""
cleanup() {
    # The AT-SPI bus launcher ends its own bus and registry when it ends.
    for pid in $listener_pid $launcher_pid $bus_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
    done
    [ -z "$xvfb_pid" ] || wait "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb names its display on the pipe once it accepts clients.
mkfifo "$work/display"
Xvfb -noreset -nolisten tcp -screen 0 1280x1024x24 -displayfd 3 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
read -r display <"$work/display"
export DISPLAY=":$display"

# The AT-SPI bus's socket goes into the runtime folder, which is this run's own.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# A session bus of this run only; --fork returns once it accepts clients.
{ read -r DBUS_SESSION_BUS_ADDRESS; read -r bus_pid; } < <(
    dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS

# Asking the session bus for the AT-SPI bus starts the launcher (which starts that bus); the
# answer comes once the bus is up. A ping to the registry starts it likewise.
a11y_address="$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
    org.a11y.Bus.GetAddress | tr -d ' ')"
launcher_pid="$(dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID string:org.a11y.Bus |
    awk '{print $2}')"
dbus-send --bus="$a11y_address" --print-reply --dest=org.a11y.atspi.Registry \
    /org/a11y/atspi/accessible/root org.freedesktop.DBus.Peer.Ping >/dev/null
a11y_bus_pid="$(dbus-send --bus="$a11y_address" --print-reply=literal --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.DBus |
    awk '{print $2}')"
registry_pid="$(dbus-send --bus="$a11y_address" --print-reply=literal --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID \
    string:org.a11y.atspi.Registry | awk '{print $2}')"
echo "X server $DISPLAY, AT-SPI bus $a11y_address"

export QT_QPA_PLATFORM=xcb
if [ "$bridge" = on ]; then
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
    pass+=(--accessibility)
else
    unset QT_LINUX_ACCESSIBILITY_ALWAYS_ON
fi

# CPU milliseconds a process has used so far.
cpu_ms() {
    local stat
    read -r -a stat <"/proc/$1/stat"
    echo $(((stat[13] + stat[14]) * 1000 / $(getconf CLK_TCK)))
}
# The others' share of a desktop with the bridge on: the X server, the buses and the registry.
others="xvfb:$xvfb_pid session-bus:$bus_pid at-spi-bus:$a11y_bus_pid registry:$registry_pid"
others_cpu() {
    local entry line=""
    for entry in $others; do line="$line ${entry%%:*} $(cpu_ms "${entry#*:}")"; done
    echo "$line"
}

# The names of the applications the AT-SPI registry knows.
registry_applications() {
    local names="" path
    for path in $(dbus-send --bus="$a11y_address" --print-reply \
        --dest=org.a11y.atspi.Registry /org/a11y/atspi/accessible/root \
        org.a11y.atspi.Accessible.GetChildren |
        awk -F'"' '/string/ {name = $2} /object path/ {print name "|" $2}'); do
        names="$names $(dbus-send --bus="$a11y_address" --print-reply=literal \
            --dest="${path%%|*}" "${path#*|}" org.freedesktop.DBus.Properties.Get \
            string:org.a11y.atspi.Accessible string:Name | awk '{print $NF}')(${path%%|*})"
    done
    echo "${names# }"
}

for ((run = 1; run <= runs; ++run)); do
    echo "=== run $run of $runs: bridge $bridge, listener $listener"
    read -r -a others_before <<<"$(others_cpu)"
    if [ "$listener" = yes ]; then
        # Its first line comes once its listeners are registered with the registry.
        coproc AT_LISTENER { exec /usr/bin/python3 scripts/at-listener.py; }
        listener_pid=$AT_LISTENER_PID
        read -r ready <&"${AT_LISTENER[0]}"
        echo "AT listener: $ready"
    fi
    "$benchmark" "${pass[@]}" 2>"$work/stderr" | tee "$work/run$run.txt" | while IFS= read -r line; do
        echo "$line"
        case "$line" in
            "accessibility bridge: active"*)
                echo "  AT-SPI registry's applications: $(registry_applications)" ;;
        esac
    done
    grep -v "XDG_RUNTIME_DIR\|QStandardPaths" "$work/stderr" >&2 || true
    read -r -a others_after <<<"$(others_cpu)"
    line="CPU of the other processes in the whole run (transfers and write loops):"
    for ((i = 0; i < ${#others_after[@]}; i += 2)); do
        line="$line ${others_after[i]} $((others_after[i + 1] - others_before[i + 1])) ms"
    done
    echo "$line"
    if [ -n "$listener_pid" ]; then
        echo "AT listener CPU: $(cpu_ms "$listener_pid") ms"
        exec {listener_out}<&"${AT_LISTENER[0]}"
        kill "$listener_pid"
        cat <&"$listener_out"
        exec {listener_out}<&-
        wait "$listener_pid" || true
        listener_pid=""
    fi
done

# Per transfer: each run's time, CPU, share of a core and ratio to the writes alone, then the
# medians.
echo
echo "=== summary (bridge $bridge, listener $listener, $runs run(s))"
awk '
    function median(list,    n, v, i, j, t) {
        n = split(list, v, " ")
        for (i = 2; i <= n; ++i)
            for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
        return v[int((n + 1) / 2)]
    }
    /^paced at/ { kind = "paced" } /^unpaced/ { kind = "unpaced" }
    /^  total time:/ { secs[kind] = secs[kind] " " $3 }
    /^  tool CPU:/ {
        cpu[kind] = cpu[kind] " " $3
        if (match($0, /[0-9.]+% of one core/)) {
            p = substr($0, RSTART, RLENGTH); sub("%.*", "", p); pct[kind] = pct[kind] " " p
        }
    }
    /^    of which the window/ { win[kind] = win[kind] " " $6 }
    /^  writes alone:/ { floor[kind] = floor[kind] " " $3 }
    /^  tool CPU \/ writes alone:/ { ratio[kind] = ratio[kind] " " $NF }
    END {
        for (k in cpu) {
            printf "%s: time s:%s | tool CPU s:%s | %% of a core:%s | window thread s:%s | writes alone s per MiB:%s | tool CPU / writes alone:%s\n",
                k, secs[k], cpu[k], pct[k], win[k], floor[k], ratio[k]
            printf "  median: tool CPU %.2f s, %.1f%% of a core, window thread %.2f s, writes alone %.2f s per MiB, tool CPU / writes alone %.2f\n",
                median(cpu[k]), median(pct[k]), median(win[k]), median(floor[k]), median(ratio[k])
        }
    }' "$work"/run*.txt
