#!/bin/sh
# Trains both networks side by side on the
# real annotated sets (../shared/data/real) mixed with rendered pages and
# lines, each starting from the weights of the earlier synthetic-only runs
# and stopping at its wall-clock budget; then ONNX export with cv2.dnn
# verification and packing into the library's model files.
#
#   tools/train/run_all.sh            # from the repository root
#   REC_BUDGET_MIN=30 DET_BUDGET_MIN=30 tools/train/run_all.sh
#
# The starting weights are the checkpoints of commit a740588 (synthetic
# pages and lines only), taken from git history. Training resumes from
# tools/train/work/{det_real,rec_real}_last.pt if present; delete those for a
# fresh run.
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
TRAIN="$ROOT/tools/train"
WORK="$TRAIN/work"
PY=${PYTHON:-/usr/bin/python3}
REC_BUDGET_MIN=${REC_BUDGET_MIN:-62}
DET_BUDGET_MIN=${DET_BUDGET_MIN:-62}
INIT_REV=${INIT_REV:-a740588}
MODEL_TOOL=${MODEL_TOOL:-$ROOT/build/tools/model_tool}

mkdir -p "$WORK"

echo "== dictionary"
"$PY" "$TRAIN/make_dict.py" --out "$ROOT/models/ocrv3_cn.txt"

echo "== starting weights from $INIT_REV"
git -C "$ROOT" show "$INIT_REV:tools/train/checkpoints/det_last.pt" > "$WORK/det_synthetic.pt"
git -C "$ROOT" show "$INIT_REV:tools/train/checkpoints/rec_last.pt" > "$WORK/rec_synthetic.pt"

echo "== training, side by side (det $DET_BUDGET_MIN min, rec $REC_BUDGET_MIN min; logs in $WORK)"
"$PY" "$TRAIN/train_det.py" --budget-min "$DET_BUDGET_MIN" --threads 3 --workers 2 --batch 12 \
    --tag det_real --init "$WORK/det_synthetic.pt" > "$WORK/det_real.out" 2>&1 &
det_pid=$!
"$PY" "$TRAIN/train_rec.py" --budget-min "$REC_BUDGET_MIN" --threads 4 --workers 2 --lr 6e-4 \
    --tag rec_real --init "$WORK/rec_synthetic.pt" > "$WORK/rec_real.out" 2>&1 &
rec_pid=$!
wait "$det_pid" || { echo "detector training failed; see $WORK/det_real.out" >&2; exit 1; }
wait "$rec_pid" || { echo "recogniser training failed; see $WORK/rec_real.out" >&2; exit 1; }

echo "== export + cv2.dnn check"
"$PY" "$TRAIN/export.py" --det-ckpt "$WORK/det_real_last.pt" --rec-ckpt "$WORK/rec_real_last.pt"

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
