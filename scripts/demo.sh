#!/usr/bin/env bash
# The main job: builds the module and the host stand-in, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target korvalis_module korvalis-host
./build/default/bin/korvalis-host demo "${1:-./korvalis-demo}"
