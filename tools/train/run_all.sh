#!/bin/sh
# Regenerates the shipped networks end to end: dictionary, training of both
# networks (in parallel, wall-clock budgeted), ONNX export with cv2.dnn
# verification, and packing into the library's model files.
#
#   tools/train/run_all.sh            # from the repository root
#   BUDGET_MIN=30 tools/train/run_all.sh
#
# Training resumes from tools/train/work/*_last.pt if present; delete
# tools/train/work/ for a fresh run.
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
TRAIN="$ROOT/tools/train"
WORK="$TRAIN/work"
PY=${PYTHON:-/usr/bin/python3}
BUDGET_MIN=${BUDGET_MIN:-95}
REC_THREADS=${REC_THREADS:-4}
DET_THREADS=${DET_THREADS:-2}
MODEL_TOOL=${MODEL_TOOL:-$ROOT/build/tools/model_tool}

mkdir -p "$WORK"

echo "== dictionary"
"$PY" "$TRAIN/make_dict.py" --out "$ROOT/models/ocrv3_cn.txt"

echo "== training (budget $BUDGET_MIN min each, logs in $WORK/rec.log and $WORK/det.log)"
"$PY" "$TRAIN/train_rec.py" --budget-min "$BUDGET_MIN" --threads "$REC_THREADS" --workers 2 \
    > "$WORK/rec.out" 2>&1 &
REC_PID=$!
"$PY" "$TRAIN/train_det.py" --budget-min "$BUDGET_MIN" --threads "$DET_THREADS" --workers 1 \
    > "$WORK/det.out" 2>&1 &
DET_PID=$!
status=0
wait "$REC_PID" || status=1
wait "$DET_PID" || status=1
if [ "$status" -ne 0 ]; then
    echo "training failed; see $WORK/rec.out and $WORK/det.out" >&2
    exit 1
fi

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
