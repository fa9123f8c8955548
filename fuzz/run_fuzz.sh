#!/usr/bin/env bash
# Runs the model reader fuzz target for a given time on a small seed corpus.
#   fuzz/run_fuzz.sh <build-dir> <seconds>
# The build directory must hold fuzz/fuzz_model_reader (configured with
# -DVARNEL_FUZZ=ON). Exits non-zero when the fuzzer reports anything.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 <build-dir> <seconds>" >&2
    exit 2
fi
build=$1
seconds=$2
case $seconds in
    ''|*[!0-9]*) echo "$0: seconds must be a positive whole number, got '$seconds'" >&2; exit 2 ;;
esac
target=$build/fuzz/fuzz_model_reader
if [ ! -x "$target" ]; then
    echo "$0: $target not found; build it with -DVARNEL_FUZZ=ON first" >&2
    exit 2
fi

work=$(mktemp -d /tmp/varnel_fuzz_run.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
corpus=$work/corpus
mkdir -p "$corpus"
# Findings of this run are kept (outside the temporary directory).
artifacts=$build/fuzz/artifacts/$(date +%Y%m%d-%H%M%S)-$$
mkdir -p "$artifacts"

# header <type> <xor_len> <des_len> <head marker> <tail marker>: the 29-byte
# header, bytes given in octal escapes.
header() {
    printf "\\$4"            # marker
    printf 'v001'           # version
    printf "\\$1"            # encoding type
    printf 'seed-model\0\0\0\0\0'  # id, 15 bytes
    printf '\0\0'           # fw, l
    printf "\\$2\\$3"        # xor_len, des_len
    printf '\0\0\0'         # reserved
    printf "\\$5"            # tail marker
}

# A valid type-3 file (XOR whole payload, DES first eighth), 1,029 bytes.
{ header 003 377 377 021 021; head -c 1000 /dev/urandom; } > "$corpus/type3.p"
# Type 3 with explicit counts larger than the payload.
{ header 003 177 177 021 000; head -c 900 /dev/urandom; } > "$corpus/type3_counts.p"
# Types 1 (XOR of 800 blocks) on a short payload.
{ header 001 000 000 000 021; head -c 800 /dev/urandom; } > "$corpus/type1.p"
# A short file.
{ header 003 377 377 021 021; head -c 50 /dev/urandom; } > "$corpus/short.p"
# A file with neither marker.
{ header 003 377 377 000 000; head -c 1000 /dev/urandom; } > "$corpus/bad_marker.p"

[ "$(wc -c < "$corpus/type3.p")" -eq 1029 ] || { echo "$0: seed generation failed" >&2; exit 1; }

status=0
"$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" || status=$?

if ls "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-* >/dev/null 2>&1; then
    echo "$0: fuzzer artifacts in $artifacts" >&2
    [ $status -ne 0 ] || status=1
fi
if [ $status -ne 0 ]; then
    echo "$0: fuzzing failed (status $status)" >&2
    exit $status
fi
rmdir "$artifacts" 2>/dev/null || true
echo "$0: no findings in ${seconds}s"
