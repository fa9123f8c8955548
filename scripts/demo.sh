#!/usr/bin/env bash
# Main job: builds the library and runs the demo host on the sample page
# with the shipped models.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target demo
./build/examples/demo models "[0-9]{4}-[0-9]{2}-[0-9]{2}" examples/sample.png --out build/sample_vis.png
