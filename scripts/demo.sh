#!/usr/bin/env bash
# Main job: builds the library and runs the demo host on the sample page
# with the shipped models.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DVARNEL_BUILD_TESTS=OFF -DVARNEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target demo
./build-demo/examples/demo models "[0-9]{4}-[0-9]{2}-[0-9]{2}" examples/sample.png --out build-demo/sample_vis.png
