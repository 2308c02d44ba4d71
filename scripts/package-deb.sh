#!/bin/sh
# package-deb.sh: builds the Debian package dist/kavlet_<version>_<arch>.deb (as root on Debian 12,
# after "sh scripts/install-deps.sh package") from the optimised build, build-release, configured
# as scripts/test.sh configures it, so after the test command only the package is new. Then checks
# the menu entry with desktop-file-validate and the package with lintian, whose errors stop it
# (its warnings are printed). scripts/test-deb.sh installs and tries the package.
set -eu
cd "$(dirname "$0")/.."
fail() {
    echo "package-deb.sh: $*" >&2
    exit 1
}
for tool in cmake cpack dpkg-shlibdeps lintian desktop-file-validate; do
    command -v "$tool" >/dev/null || fail "no $tool (sh scripts/install-deps.sh package)"
done

cmake -S . -B build-release -G Ninja -DKAVLET_WERROR=ON -DCMAKE_BUILD_TYPE=Release ||
    fail "configuring build-release failed"
cmake --build build-release -j "$(nproc)" || fail "building build-release failed"

# cpack installs the build into a staging folder of its own and makes the package from it.
rm -rf build-release/deb
cpack --config build-release/CPackConfig.cmake -G DEB -B "$(pwd)/build-release/deb" ||
    fail "cpack -G DEB failed"
set -- build-release/deb/kavlet_*.deb
{ [ $# -eq 1 ] && [ -f "$1" ]; } || fail "cpack made no single kavlet_*.deb"
mkdir -p dist
rm -f dist/kavlet_*.deb
cp "$1" dist/
deb=dist/$(basename "$1")

desktop-file-validate res/kavlet.desktop || fail "res/kavlet.desktop is not a valid desktop entry"
echo "package-deb.sh: lintian $deb"
lintian --fail-on error "$deb" || fail "lintian found errors in $deb"
dpkg-deb --info "$deb"
echo "package-deb.sh: made $deb ($(stat -c %s "$deb") bytes)"
