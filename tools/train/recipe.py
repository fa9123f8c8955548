#!/usr/bin/python3
"""The whole chain that makes one network, from a run's config:

    tools/train/recipe.py tools/train/configs/det.json [--smoke] [--stages data,train,export,pack,check]

data (dictionary and training text, made once), train, export (ONNX,
checked in OpenCV's dnn), pack (the library's model file in RUN/model/, next
to the shipped files of the other network) and check (model_tool and
build/tools/eval on the held-out pages and the real validation parts); and,
asked for by name, snapshot (tools/train/weights/). Nothing is written into
models/. --smoke runs every stage with the config's smoke settings, in a run
directory of its own. See README.md.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import common  # noqa: E402

ROOT = common.ROOT
BUILD = os.environ.get("VARNEL_BUILD", os.path.join(ROOT, "build"))
PY = sys.executable
STAGES = ("data", "train", "export", "pack", "check")
SNAPSHOT = "snapshot"  # not in the default chain: committed at a milestone
# The library's file of each network, and the dictionary.
FILES = {"det": "boxv3.p", "rec": "ocrv4_cn.p"}
DICT_FILE = "ocrv3_cn.txt"


def run(cmd, **kw):
    print("+ " + " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True, **kw)


def tool(name):
    """A C++ tool of the build directory, built when missing."""
    path = os.path.join(BUILD, "tools", name)
    if not os.path.exists(path):
        run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release"])
        run(["cmake", "--build", BUILD, "-j4", "--target", name])
    return path


def data(cfg, smoke):
    dict_path = os.path.join(common.TRAIN_DIR, "data", "dict.txt")
    if not os.path.exists(dict_path):
        os.makedirs(os.path.dirname(dict_path), exist_ok=True)
        run([PY, os.path.join(HERE, "make_dict.py"), "--out", dict_path])
    corpus = os.path.join(common.TRAIN_DIR, "corpus")
    if cfg["network"] == "rec" and not smoke and not os.path.isdir(corpus):
        run([PY, os.path.join(HERE, "corpus.py"), "build", "--out", corpus])


def model_dir(cfg):
    return os.path.join(cfg["dir"], "model")


def export(cfg):
    out = model_dir(cfg)
    os.makedirs(out, exist_ok=True)
    run([PY, os.path.join(HERE, "export.py"), cfg["network"], os.path.join(cfg["dir"], "last.pt"),
         os.path.join(out, cfg["network"] + ".onnx")]
        + (["--dict", os.path.join(out, DICT_FILE)] if cfg["network"] == "rec" else []))


def pack(cfg):
    out = model_dir(cfg)
    for kind, name in FILES.items():
        if kind == cfg["network"]:
            run([tool("model_tool"), "pack", os.path.join(out, kind + ".onnx"), os.path.join(out, name)])
        else:
            shutil.copyfile(os.path.join(ROOT, "models", name), os.path.join(out, name))
    if cfg["network"] == "det":
        shutil.copyfile(os.path.join(ROOT, "models", DICT_FILE), os.path.join(out, DICT_FILE))


def check(cfg, smoke):
    out = model_dir(cfg)
    run([tool("model_tool"), "check", os.path.join(out, FILES[cfg["network"]]),
         os.path.join(out, cfg["network"] + ".onnx")])
    evaluate = tool("eval")
    run([evaluate, out, os.path.join(ROOT, "tests", "heldout")] + (["--limit", "3"] if smoke else []))
    lists = os.path.join(cfg["dir"], "real-eval")
    run([PY, os.path.join(ROOT, "tools", "eval", "real_sets.py"), lists] + (["--ci"] if smoke else []))
    if smoke:
        run([evaluate, out, os.path.join(lists, "ci-det"), "--det-only", "--limit", "3"])
        return
    for s in ("sroie", "funsd", "icdar2015", "msra_td500"):
        extra = ["--det-only"] if s == "msra_td500" else ["--fold-case"] + (["--receipt-fields"] if s == "sroie" else [])
        run([evaluate, out, os.path.join(lists, s)] + extra)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("config")
    ap.add_argument("--smoke", action="store_true")
    ap.add_argument("--stages", default=",".join(STAGES),
                    help="comma-separated, from: %s (default: all of them), and %s" % (", ".join(STAGES), SNAPSHOT))
    args = ap.parse_args()
    stages = args.stages.split(",")
    unknown = [s for s in stages if s not in STAGES + (SNAPSHOT,)]
    if unknown:
        ap.error("unknown stage %s" % ", ".join(unknown))
    cfg = common.load_config(args.config, args.smoke)
    if cfg.get("network") not in FILES:
        ap.error("%s: \"network\" must be det or rec" % args.config)
    print("run %s in %s" % (cfg["name"], cfg["dir"]), flush=True)
    if "data" in stages:
        data(cfg, args.smoke)
    if "train" in stages:
        run([PY, os.path.join(HERE, "train_%s.py" % cfg["network"]), args.config] + (["--smoke"] if args.smoke else []))
    if "export" in stages:
        export(cfg)
    if "pack" in stages:
        pack(cfg)
    if "check" in stages:
        check(cfg, args.smoke)
    if SNAPSHOT in stages:
        out = os.path.join(HERE, "weights", cfg["network"] + ".pt")
        common.save_snapshot(os.path.join(cfg["dir"], "last.pt"), out, {"run": cfg["name"]})
        print("snapshot of %s -> %s" % (cfg["name"], out), flush=True)
    print(json.dumps({"run": cfg["name"], "stages": stages, "model_dir": model_dir(cfg)}), flush=True)


if __name__ == "__main__":
    main()
