#!/usr/bin/env bash
# Runs the library end to end over the committed held-out subset and fails
# when the character error rate or the detection F rises past its threshold.
#   scripts/eval.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"

# Thresholds measured on the shipped models, with a margin for the different
# floating-point paths of other machines.
max_cer=0.03
min_f=0.95

"$build/tools/eval" models tests/heldout --max-cer "$max_cer" --min-f "$min_f"
