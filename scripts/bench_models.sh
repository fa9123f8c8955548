#!/usr/bin/env bash
# Times the shipped networks (models/) against those of an earlier commit in
# one benchmark run: a detector pass on a 1280 x 960 page, a recogniser pass
# on a 48 x 320 line, and recogniser passes whose width changes every time.
# Prints the medians, the ratios new / old and the re-planning cost of each
# recogniser (bench/bench_models.cpp).
#
#   scripts/bench_models.sh [rev [build-dir]] [-- benchmark flags]
#
# rev: the commit whose models/boxv3.p, models/ocrv4_cn.p and
# models/ocrv3_cn.txt are the "old" set (default a740588, the last commit
# with the original models). build-dir: default build. The repetitions of
# all benchmarks run in random order, so that a changing load on the machine
# falls on both sets alike.
set -euo pipefail
cd "$(dirname "$0")/.."

rev=a740588
build=build
if [[ $# -gt 0 && $1 != --* ]]; then rev=$1; shift; fi
if [[ $# -gt 0 && $1 != --* ]]; then build=$1; shift; fi
if [[ $# -gt 0 && $1 == -- ]]; then shift; fi

bench="$build/bench/bench_models"
if [[ ! -x $bench ]]; then
  echo "$bench not found: cmake --build $build --target bench_models" >&2
  exit 2
fi

old=$(mktemp -d /tmp/varnel-old-models-XXXXXX)
trap 'rm -rf "$old"' EXIT
for f in boxv3.p ocrv4_cn.p ocrv3_cn.txt; do
  git show "$rev:models/$f" > "$old/$f"
done
echo "old models: $rev ($(git log -1 --format=%s "$rev" | cut -c1-70))"
for f in boxv3.p ocrv4_cn.p; do
  if cmp -s "models/$f" "$old/$f"; then echo "  $f: the same file as models/$f"; fi
done

"$bench" --old-models="$old" --benchmark_enable_random_interleaving=true "$@"
