#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the program need. Safe to run again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libavformat-dev libavcodec-dev libavutil-dev libavdevice-dev libswscale-dev libswresample-dev
    libx264-dev
    libxml2-dev
    libmicrohttpd-dev libgnutls28-dev openssl
    clang
    libffmpeg-nvenc-dev
    libfreetype-dev libfontconfig-dev fonts-liberation2 fonts-wqy-microhei
    libx11-dev libxrandr-dev libegl-dev libgl-dev xvfb libgl1-mesa-dri libglx-mesa0
    libsystemd-dev
    libgtest-dev libgmock-dev
    gir1.2-gst-rtsp-server-1.0 python3-gi gstreamer1.0-plugins-good gstreamer1.0-plugins-base
    gstreamer1.0-plugins-bad
    nginx-light libnginx-mod-rtmp
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# The tests start nginx themselves: its package must not start a server of its own on port 80, nor
# fail trying where no init system runs.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod +x "$policy"
    trap '$sudo rm -f "$policy"' EXIT
fi
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
