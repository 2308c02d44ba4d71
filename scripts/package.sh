#!/bin/sh
# package.sh: builds Kavlet's packages into dist/ (Debian 12, as root): the Debian package
# kavlet_<version>_<arch>.deb (scripts/package-deb.sh) and the Windows installer
# (scripts/package-windows.sh). They come from the test command's build folders (build-release,
# build-win), so after scripts/test.sh only the packages are new.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh package
sh scripts/package-deb.sh
sh scripts/package-windows.sh
