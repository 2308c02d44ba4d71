#!/bin/sh
# Installs what building and running Kavlet needs on Debian 12 (run as root), nlohmann-json,
# CLI11 (both header-only, copied into the Windows build too) and nettle (the virtual head's
# SHA-256) among it. With the argument "test", also what the tests need (GoogleTest, an X
# server for the tests that look at the window as a screen shows it, and MinGW-w64 and Wine
# for the Windows build, with Wine's Marlett font for the caption buttons of its windows, and
# ser2net for the network port tests); with
# "screenshots", that and what scripts/wine-screenshots.sh needs besides (ImageMagick, and the
# locale sources its zh_CN.UTF-8 locale is made from); with "package", what the test command
# needs (the packages are built from its build directories) and what scripts/package.sh needs
# besides: the Debian package's tools and checks (dpkg-dev for dpkg-shlibdeps, lintian, file,
# desktop-file-validate, an X server and xwininfo for scripts/test-deb.sh) and NSIS and zip
# for the Windows installer, unzip to try the zip. With "fuzz", what scripts/fuzz.sh needs:
# GoogleTest (the tests' folder is configured), clang 14 and its libFuzzer.
set -eu
export DEBIAN_FRONTEND=noninteractive
packages="ca-certificates cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-qpa-plugins qt6-translations-l10n libgl-dev
    nlohmann-json3-dev libcli11-dev nettle-dev
    fonts-wqy-zenhei"
if [ "${1:-}" = test ] || [ "${1:-}" = screenshots ] || [ "${1:-}" = package ]; then
    packages="$packages libgtest-dev googletest xvfb xauth ser2net g++-mingw-w64-x86-64-posix wine64
        fonts-wine procps"
fi
if [ "${1:-}" = fuzz ]; then
    packages="$packages libgtest-dev googletest clang-14 libfuzzer-14-dev"
fi
if [ "${1:-}" = screenshots ]; then
    packages="$packages imagemagick locales"
fi
if [ "${1:-}" = package ]; then
    packages="$packages dpkg-dev lintian file desktop-file-utils x11-utils nsis zip unzip"
fi
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $packages
