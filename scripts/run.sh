#!/bin/sh
# Installs what Kavlet needs, builds it, and starts it.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build --target kavlet
exec ./build/app/kavlet "$@"
