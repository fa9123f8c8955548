#!/usr/bin/env bash
# Runs every test: a normal build, an AddressSanitizer + UndefinedBehavior-
# Sanitizer build, hosts built against the installed library (the README's
# example among them, run on the sample page), 60 seconds of fuzzing of the
# model file reader, the training tools' tests and the smoke run of the
# training recipe, and the end-to-end accuracy check on the held-out subset.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh --tests
jobs="$(nproc)"
# A private X server for the window tests; -noreset keeps it from resetting
# (and refusing connections) each time its last client disconnects.
xvfb=(xvfb-run -a -s "-screen 0 1280x1024x24 -noreset")

echo "== normal build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
(cd build && "${xvfb[@]}" ctest --output-on-failure -j"$jobs") | tee -a "$log"

echo "== install, then build and run a host against the installed library"
prefix="$(mktemp -d)"
cmake --install build --prefix "$prefix" >/dev/null
pcdir="$(dirname "$(find "$prefix" -name varnel.pc | head -n 1)")"
rm -rf build/install-host
PKG_CONFIG_PATH="$pcdir" cmake -S tests/install -B build/install-host -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build build/install-host -j"$jobs"
LD_LIBRARY_PATH="$(dirname "$pcdir")" build/install-host/host_cmake
LD_LIBRARY_PATH="$(dirname "$pcdir")" build/install-host/host_pkgconfig
# The README's example, with the installed model directory, on the sample page:
# it must succeed and report at least one text line.
modeldir="$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=modeldir varnel)"
if ! snippet_out="$(LD_LIBRARY_PATH="$(dirname "$pcdir")" build/install-host/readme_snippet "$modeldir" examples/sample.png)"; then
  printf '%s\n' "$snippet_out"
  echo "README example failed"
  exit 1
fi
printf '%s\n' "$snippet_out"
if ! grep -Eq '^[0-9]+ of [1-9][0-9]* lines matched$' <<<"$snippet_out"; then
  echo "README example read no line of the sample page"
  exit 1
fi
# The installed command-line reader finds the library and the models relative
# to itself (no LD_LIBRARY_PATH, no VARNEL_MODELS, another working directory)
# and prints the sample page's lines top to bottom, as examples/make_sample.py
# draws them (blanks between words aside).
sample="$PWD/examples/sample.png"
if ! cli_out="$(cd / && env -u VARNEL_MODELS -u LD_LIBRARY_PATH "$prefix/bin/varnel" "$sample")"; then
  printf '%s\n' "$cli_out"
  echo "installed varnel failed"
  exit 1
fi
printf '%s\n' "$cli_out"
if ! /usr/bin/python3 - "$cli_out" <<'EOF'
import sys
sys.path.insert(0, "examples")
from make_sample import LINES
got = ["".join(line.split()) for line in sys.argv[1].splitlines()]
want = ["".join(text.split()) for text, _, _ in LINES]
sys.exit(0 if got == want else 1)
EOF
then
  echo "installed varnel did not print the sample page's lines top to bottom"
  exit 1
fi
rm -rf "$prefix"

echo "== sanitizer build (address, undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_SANITIZE=ON -DVARNEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
(cd build-asan && "${xvfb[@]}" ctest --output-on-failure -j"$jobs") | tee -a "$log"
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

echo "== fuzzing the model file reader (60 s)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVARNEL_FUZZ=ON -DVARNEL_BUILD_BENCH=OFF -DVARNEL_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_model_reader
bash fuzz/run_fuzz.sh build-fuzz 60

echo "== training tools (renderer, dictionary, export checks)"
OMP_NUM_THREADS=2 /usr/bin/python3 -m unittest discover -s tools/train -p "test_*.py" 2>&1 | tee -a "$log"
# Training state stays out of git: the only tracked weights are the
# weights-only snapshots in tools/train/weights/.
stray="$(git ls-files '*.pt' | grep -v '^tools/train/weights/' || true)"
if [ -n "$stray" ]; then
  printf 'tracked .pt files outside tools/train/weights/:\n%s\n' "$stray"
  exit 1
fi
echo "== the training recipe, every stage, a few steps per network"
for net in det rec; do
  OMP_NUM_THREADS=2 VARNEL_BUILD="$PWD/build" /usr/bin/python3 tools/train/recipe.py \
    "tools/train/configs/$net.json" --smoke
done

echo "== held-out accuracy"
bash scripts/eval.sh build

# Every step above stops the script on a failure, so reaching this line means
# all of them passed; count the test cases the runners executed.
passed=$(awk '/tests failed out of/ {n += $NF} /^Ran [0-9]+ tests? in/ {n += $2} END {print n + 0}' "$log")
echo "tests: $passed passed, 0 failed"
