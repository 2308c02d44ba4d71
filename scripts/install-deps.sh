#!/bin/sh
# Installs what building, running and testing Kavlet needs on Debian 12 (run as root).
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    ca-certificates cmake ninja-build g++ pkg-config \
    qt6-base-dev qt6-qpa-plugins libgl-dev \
    libgtest-dev googletest \
    fonts-wqy-zenhei
