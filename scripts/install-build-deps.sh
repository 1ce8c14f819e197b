#!/usr/bin/env bash
# Installs what building and testing the R9 driver package needs on Debian 12, and only what is
# missing: the host compiler and test libraries, libsndfile and libsamplerate (the simulated
# machine's audio files and its audio service's rate conversion), clang with libFuzzer for the fuzz
# targets, mingw-w64 for the windows build, and Wine, which runs the Windows build's user-mode checks
# (with Xvfb, the X utilities and ImageMagick for the control panel's window and screenshot).
set -euo pipefail

packages=(
    cmake ninja-build g++ python3
    libgtest-dev libgmock-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev
    libsndfile1-dev libsamplerate0-dev
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    wine wine64
    xvfb xauth x11-utils imagemagick fonts-wine
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
