#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need.
# Sourced or run by the other scripts; does nothing when all are present.
set -euo pipefail

VEMO_PACKAGES=(
    g++ cmake ninja-build pkg-config clang-format
    qt6-base-dev qt6-qpa-plugins libqt6printsupport6 libgl-dev
    libusb-1.0-0-dev libcurl4-openssl-dev
    umockdev libumockdev-dev
    fonts-liberation xvfb xauth
)

missing=()
for pkg in "${VEMO_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root with:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
