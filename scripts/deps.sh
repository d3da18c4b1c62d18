#!/usr/bin/env bash
# Installs the Debian packages a script needs; does nothing when all are
# present. Run by the other scripts with the sets they need:
#   scripts/deps.sh run [display]   building and running the program (scripts/run),
#                                   and Xvfb for its window without a display
#   scripts/deps.sh package         that and the package's tools (scripts/package)
#   scripts/deps.sh                 everything: the suite's tools too (scripts/test,
#                                   scripts/fuzz)
set -euo pipefail

# Building and running the program.
run_packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-qpa-plugins libqt6printsupport6 libgl-dev
    libusb-1.0-0-dev libcurl4-openssl-dev libcups2-dev
    # the certificate's fonts
    fonts-liberation
    # the production station script reads the records with it
    python3
)
# The window on a virtual display.
display_packages=(xvfb xauth)
# The Debian package: cpack, Debian's build flags and the libraries'
# package names (dpkg-dev), and the file types cpack asks for.
package_packages=(dpkg-dev file)
# The suite, the fuzz targets and the checks of the source tree.
test_packages=(
    clang-format clang libclang-rt-dev
    umockdev libumockdev-dev
    poppler-utils cups printer-driver-cups-pdf
    tshark
    # the tools the package's tests check it with
    lintian desktop-file-utils appstream groff-base man-db udev
)

wanted=()
if [ $# -eq 0 ]; then
    set -- run display package test
fi
for set_name in "$@"; do
    case $set_name in
    run) wanted+=("${run_packages[@]}") ;;
    display) wanted+=("${display_packages[@]}") ;;
    package) wanted+=("${run_packages[@]}" "${package_packages[@]}") ;;
    test) wanted+=("${test_packages[@]}") ;;
    *)
        echo "scripts/deps.sh: no package set '$set_name' (run, display, package, test)" >&2
        exit 2
        ;;
    esac
done

missing=()
for pkg in "${wanted[@]}"; do
    if [[ " ${missing[*]} " == *" $pkg "* ]]; then
        continue
    fi
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
