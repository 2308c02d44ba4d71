#!/bin/sh
# Tries what scripts/package-windows.sh made in dist/, under Wine (scripts/wine-run.sh, in a new
# prefix of its own that is removed afterwards):
# - the installer, silently (/S): the two programs, the notices and the uninstaller under
#   Program Files, the Start-menu shortcut to kavlet.exe, the uninstall entry Windows lists, and
#   the installed kavlet-flash.exe answering --version;
# - its uninstaller, silently: the files, the folder, the shortcut and the entry all gone;
# - the zip: exactly the two programs and the notices, and kavlet-flash.exe answering --version
#   from there.
# Each step that fails says so and ends the script with status 1. Needs root (wine-run.sh).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build-win/CMakeCache.txt 2>/dev/null || true)
setup="$root/dist/kavlet-$version-setup.exe"
zip="$root/dist/kavlet-$version-windows-x64.zip"

step=""
fail() {
    echo "test-windows-package.sh: FAILED: $step: $*" >&2
    exit 1
}
begin() {
    step=$1
    echo "-- $step"
}

begin "finding the package"
[ -n "$version" ] || fail "no project version in build-win/CMakeCache.txt (run scripts/package-windows.sh)"
[ -f "$setup" ] || fail "no $setup (run scripts/package-windows.sh)"
[ -f "$zip" ] || fail "no $zip (run scripts/package-windows.sh)"

work=$(mktemp -d /tmp/kavlet-package-test.XXXXXX)
export WINEPREFIX="$work/prefix"
# Wine's menu builder writes a desktop entry and icons for each shortcut into the user's home:
# here, into one of the test's own.
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share"
export XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache"
mkdir -p "$HOME"
finish() {
    status=$?
    sh "$root/scripts/wine-run.sh" --stop || true
    rm -rf "$work" "$WINEPREFIX.lock"
    [ "$status" -eq 0 ] && echo "test-windows-package.sh: all steps passed"
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# What a folder holds, all the way down, on one line.
contents() {
    (cd "$1" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort | paste -sd ' ' -)
}
wine() {
    sh "$root/scripts/wine-run.sh" "$@"
}

program_files="$WINEPREFIX/drive_c/Program Files/Kavlet"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kavlet.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kavlet'
# After `out=$(... --version) || status=$?`: the status and what it printed.
check_version() {
    [ "$status" -eq 0 ] || fail "status $status"
    out=$(printf '%s' "$out" | tr -d '\r')
    [ "$out" = "kavlet-flash $version" ] || fail "printed '$out', not 'kavlet-flash $version'"
}

begin "making a Wine prefix"
wine --prepare || fail "wine-run.sh --prepare ended with status $?"

begin "installing silently (setup.exe /S)"
status=0
wine "$setup" /S || status=$?
[ "$status" -eq 0 ] || fail "the installer ended with status $status"
listed=$(contents "$program_files")
[ "$listed" = "kavlet-flash.exe kavlet.exe third-party-notices.txt uninstall.exe" ] ||
    fail "C:\\Program Files\\Kavlet holds '$listed', not kavlet.exe, kavlet-flash.exe, third-party-notices.txt, uninstall.exe"

begin "the Start-menu shortcut"
[ -f "$shortcut" ] || fail "no Kavlet.lnk in the all-users Start menu"
grep -aq 'C:\\Program Files\\Kavlet\\kavlet.exe' "$shortcut" ||
    fail "Kavlet.lnk does not lead to C:\\Program Files\\Kavlet\\kavlet.exe"

begin "the installed kavlet-flash.exe --version"
status=0
out=$(wine 'C:\Program Files\Kavlet\kavlet-flash.exe' --version) || status=$?
check_version

begin "the uninstall entry ($key)"
entry=$(wine reg query "$key") || fail "reg query found no entry (status $?)"
entry=$(printf '%s' "$entry" | tr -d '\r')
value() { # value NAME TYPE TEXT: the entry holds NAME of TYPE with exactly TEXT
    echo "$entry" | grep -qxF "    $1    $2    $3" || fail "$1 is not $2 '$3'"
}
value DisplayName REG_SZ "Kavlet"
value DisplayVersion REG_SZ "$version"
value Publisher REG_SZ "Kavlet"
value UninstallString REG_SZ '"C:\Program Files\Kavlet\uninstall.exe"'
value QuietUninstallString REG_SZ '"C:\Program Files\Kavlet\uninstall.exe" /S'
value InstallLocation REG_SZ 'C:\Program Files\Kavlet'
value DisplayIcon REG_SZ 'C:\Program Files\Kavlet\kavlet.exe,0'
value NoModify REG_DWORD 0x1
value NoRepair REG_DWORD 0x1
# In KiB: the three files, between half their size and twice it.
size=$(echo "$entry" | sed -n 's/^    EstimatedSize    REG_DWORD    0x\([0-9a-fA-F]*\)$/\1/p')
[ -n "$size" ] || fail "no EstimatedSize (REG_DWORD)"
size=$((0x$size))
bytes=$(cat "$program_files"/*.exe | wc -c)
if [ $((size * 1024 * 2)) -lt "$bytes" ] || [ "$size" -gt $((bytes * 2 / 1024)) ]; then
    fail "EstimatedSize is $size KiB for $bytes bytes of files"
fi

# The uninstaller copies itself into the temporary folder, starts the copy and returns at once;
# the copy removes the files, the folder, the shortcut and, last, the entry.
begin "uninstalling silently (uninstall.exe /S)"
status=0
wine 'C:\Program Files\Kavlet\uninstall.exe' /S || status=$?
[ "$status" -eq 0 ] || fail "the uninstaller ended with status $status"
limit=120
deadline=$(($(date +%s) + limit))
while :; do
    left=""
    if [ -e "$program_files" ]; then
        left="$left, C:\\Program Files\\Kavlet ($(contents "$program_files" 2>/dev/null))"
    fi
    [ -e "$shortcut" ] && left="$left, the shortcut"
    if [ -z "$left" ]; then
        status=0
        wine reg query "$key" >/dev/null 2>&1 || status=$?
        case $status in
        0) left=", the uninstall entry" ;;
        1) break ;;
        *) fail "reg query ended with status $status" ;;
        esac
    fi
    [ "$(date +%s)" -lt "$deadline" ] || fail "after $limit s still there: ${left#, }"
    sleep 0.2
done

begin "the zip"
unzipped="$work/unzipped"
mkdir "$unzipped"
unzip -q "$zip" -d "$unzipped" || fail "unzip ended with status $?"
listed=$(contents "$unzipped")
[ "$listed" = "kavlet-flash.exe kavlet.exe third-party-notices.txt" ] ||
    fail "holds $listed, not exactly kavlet.exe, kavlet-flash.exe and third-party-notices.txt"

begin "kavlet-flash.exe --version from the zip"
status=0
out=$(wine "$unzipped/kavlet-flash.exe" --version) || status=$?
check_version
