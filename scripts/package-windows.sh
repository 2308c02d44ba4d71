#!/bin/sh
# Builds the Windows programs (MinGW-w64, in build-win, configured as scripts/test.sh configures
# it, so after the tests this only checks that all is built) and makes of them, in dist/:
#   kavlet-<version>-setup.exe        the installer (win/installer/kavlet.nsi, Debian's makensis)
#   kavlet-<version>-windows-x64.zip  kavlet.exe and kavlet-flash.exe alone, for a technician
#                                     who cannot install
# <version> is the CMake project's. The programs go out without their symbols, and only if they
# need no DLL beyond Windows' own. scripts/test-windows-package.sh tries both under Wine.
# Needs what `sh scripts/install-deps.sh test` installs, and nsis and zip.
set -eu
cd "$(dirname "$0")/.."
fail() {
    echo "package-windows.sh: $*" >&2
    exit 1
}
for tool in makensis zip; do
    command -v "$tool" >/dev/null || fail "no $tool (Debian: apt-get install nsis zip)"
done

cmake -S . -B build-win -G Ninja -DKAVLET_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DKAVLET_BUILD_UI=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
cmake --build build-win -j "$(nproc)" --target kavlet kavlet-flash

cached() {
    sed -n "s/^$1:[A-Z]*=//p" build-win/CMakeCache.txt
}
version=$(cached CMAKE_PROJECT_VERSION)
case "$version" in
'' | *[!0-9.]* | .* | *. | *..*) fail "no usable project version in build-win ('$version')" ;;
esac
# Windows' version resources want four numbers.
version4=$(echo "$version.0.0.0" | cut -d. -f1-4)
strip=$(cached CMAKE_STRIP)
objdump=$(cached CMAKE_OBJDUMP)

# The programs as they ship.
stage=build-win/package
rm -rf "$stage"
mkdir -p "$stage"
"$strip" -o "$stage/kavlet.exe" build-win/win/kavlet.exe
"$strip" -o "$stage/kavlet-flash.exe" build-win/cli/kavlet-flash.exe
# The notices of the libraries linked into the programs, with Windows' line ends.
sed 's/$/\r/' res/third-party-notices.txt > "$stage/third-party-notices.txt"
for exe in kavlet.exe kavlet-flash.exe; do
    dlls=$("$objdump" -p "$stage/$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [ -n "$dlls" ] || fail "$exe: objdump lists no DLL at all"
    for dll in $dlls; do
        case "$(echo "$dll" | tr '[:upper:]' '[:lower:]')" in
        advapi32.dll | bcrypt.dll | comctl32.dll | comdlg32.dll | gdi32.dll | kernel32.dll | \
            msvcrt.dll | ole32.dll | setupapi.dll | shell32.dll | user32.dll | ws2_32.dll) ;;
        *) fail "$exe needs $dll, which is not Windows' own: it would not start from the package" ;;
        esac
    done
done

mkdir -p dist
setup="dist/kavlet-$version-setup.exe"
zip="dist/kavlet-$version-windows-x64.zip"
rm -f "$setup" "$zip"
# Warnings are errors here as in the builds.
makensis -V2 -WX -DVERSION="$version" -DVERSION4="$version4" -DSTAGE="$(pwd)/$stage" \
    -DICON="$(pwd)/build-win/win/app_icon.ico" -DOUTFILE="$(pwd)/$setup" win/installer/kavlet.nsi
(cd "$stage" && zip -q -X -D "../../$zip" kavlet.exe kavlet-flash.exe third-party-notices.txt)
ls -l "$setup" "$zip"
