#!/usr/bin/env bash
# The main job on the simulated R9: installs what is missing, builds r9sim and runs it.
# Extra arguments are passed to r9sim; without any it generates a short test signal and plays it
# through the Windows audio service into the R9, records what comes back through the R9's
# loopback, and prints what moved and what went wrong.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-build-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" --target r9sim
if [ $# -eq 0 ]; then
    files=build/host/main-job
    mkdir -p "$files"
    build/host/tools/r9sim/r9sim generate "$files/tone.wav" --seconds 5 --rate 44100
    echo
    exec build/host/tools/r9sim/r9sim play "$files/tone.wav" --rate 48000 \
        --out "$files/heard.wav" --record "$files/loopback.wav"
fi
exec build/host/tools/r9sim/r9sim "$@"
