#!/bin/sh
# Regenerates the shipped networks end to end: dictionary, training of both
# networks (one after the other, each with the whole 8-core machine and a
# wall-clock budget), ONNX export with cv2.dnn verification, and packing into
# the library's model files.
#
#   tools/train/run_all.sh            # from the repository root
#   REC_BUDGET_MIN=30 DET_BUDGET_MIN=30 tools/train/run_all.sh
#
# Training resumes from tools/train/work/*_last.pt if present; delete
# tools/train/work/ for a fresh run.
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
TRAIN="$ROOT/tools/train"
WORK="$TRAIN/work"
PY=${PYTHON:-/usr/bin/python3}
REC_BUDGET_MIN=${REC_BUDGET_MIN:-120}
DET_BUDGET_MIN=${DET_BUDGET_MIN:-115}
MODEL_TOOL=${MODEL_TOOL:-$ROOT/build/tools/model_tool}

mkdir -p "$WORK"

echo "== dictionary"
"$PY" "$TRAIN/make_dict.py" --out "$ROOT/models/ocrv3_cn.txt"

echo "== recogniser training ($REC_BUDGET_MIN min, log in $WORK/rec.log)"
"$PY" "$TRAIN/train_rec.py" --budget-min "$REC_BUDGET_MIN" --threads 5 --workers 3 \
    > "$WORK/rec.out" 2>&1 || { echo "training failed; see $WORK/rec.out" >&2; exit 1; }

echo "== detector training ($DET_BUDGET_MIN min, log in $WORK/det.log)"
"$PY" "$TRAIN/train_det.py" --budget-min "$DET_BUDGET_MIN" --threads 6 --workers 2 \
    > "$WORK/det.out" 2>&1 || { echo "training failed; see $WORK/det.out" >&2; exit 1; }

echo "== export + cv2.dnn check"
"$PY" "$TRAIN/export.py"

echo "== pack"
if [ ! -x "$MODEL_TOOL" ]; then
    echo "model_tool not built ($MODEL_TOOL missing): build the C++ tree first, then run:" >&2
    echo "  $MODEL_TOOL pack $WORK/det.onnx $ROOT/models/boxv3.p" >&2
    echo "  $MODEL_TOOL pack $WORK/rec.onnx $ROOT/models/ocrv4_cn.p" >&2
    exit 2
fi
"$MODEL_TOOL" pack "$WORK/det.onnx" "$ROOT/models/boxv3.p"
"$MODEL_TOOL" check "$ROOT/models/boxv3.p" "$WORK/det.onnx"
"$MODEL_TOOL" pack "$WORK/rec.onnx" "$ROOT/models/ocrv4_cn.p"
"$MODEL_TOOL" check "$ROOT/models/ocrv4_cn.p" "$WORK/rec.onnx"
echo "done: models/boxv3.p models/ocrv4_cn.p"
