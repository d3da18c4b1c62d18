#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need.
# Sourced or run by the other scripts; does nothing when all are present.
set -euo pipefail

VEMO_PACKAGES=(
    g++ cmake ninja-build pkg-config clang-format
    clang libclang-rt-dev
    qt6-base-dev qt6-qpa-plugins libqt6printsupport6 libgl-dev
    libusb-1.0-0-dev libcurl4-openssl-dev
    umockdev libumockdev-dev
    # the production station script reads the records with it
    python3
    fonts-liberation xvfb xauth
    libcups2-dev poppler-utils cups printer-driver-cups-pdf
    tshark
    # the Debian package (cpack), and the tools its tests check it with
    dpkg-dev file lintian desktop-file-utils appstream groff-base man-db udev
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

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
        as_root=(sudo -n)
    else
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them as root with:" >&2
        echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
fi

echo "Installing: ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
