#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds and tests the host build, runs the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer and the streaming scenarios (the
# stream engine, the transfers, both halves of the ASIO path and the control panel beside a
# streaming host) under ThreadSanitizer, replays the fuzz targets' corpora and fuzzes each briefly,
# cross-builds the Windows package, checks the driver image, runs the device access library's
# checks and the ASIO driver's registration with the test ASIO host under Wine, and the control
# panel under Wine on a virtual display.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-build-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

for preset in host asan; do
    echo "== $preset: build and test"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

echo "== host: the benchmarks run"
build/host/bench/r9bench --benchmark_min_time=0.01 >/dev/null

echo "== tsan: build and test the streaming scenarios"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -L "engine|asio-kernel|transfers|^asio$|controlpanel" -j "$jobs"

echo "== fuzz: build, replay the corpora, fuzz each target briefly"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz -j "$jobs"

echo "== windows: cross-build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
packaging/check-driver-image.sh build/windows

echo "== windows: device access library and ASIO driver checks under Wine"
scripts/run-wine-checks.sh build/windows

echo "== windows: the control panel under Wine and Xvfb (screenshot: build/windows/controlpanel.png)"
scripts/run-wine-panel-check.sh build/windows
