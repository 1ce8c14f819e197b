#!/usr/bin/env bash
# The main job on the simulated R9: installs what is missing, builds r9sim and runs it.
# Extra arguments are passed to r9sim; without any it describes the R9 as the driver models it,
# then boots a machine where plugging the R9 starts the driver.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-build-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" --target r9sim
if [ $# -eq 0 ]; then
    build/host/tools/r9sim/r9sim describe
    echo
    exec build/host/tools/r9sim/r9sim boot
fi
exec build/host/tools/r9sim/r9sim "$@"
