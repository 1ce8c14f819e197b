#!/usr/bin/env bash
# The main job on the simulated R9: installs what is missing, builds r9sim and runs it.
# Extra arguments are passed to r9sim (default: describe, the driver's model of the R9).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-build-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" --target r9sim
if [ $# -eq 0 ]; then
    set -- describe
fi
exec build/host/tools/r9sim/r9sim "$@"
