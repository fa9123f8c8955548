#!/usr/bin/env bash
# Installs the Debian packages that libvarnel needs. Quick when everything
# is already present.
#   scripts/deps.sh          building the library and running the demo host
#   scripts/deps.sh --tests  everything the test suite needs as well
#   scripts/deps.sh --train  the tests' packages, the text-free photographs
#                            that training lays text over, the sources of its
#                            text and its fonts (tools/train)
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libopencv-dev libopencv-contrib-dev libpolyclipping-dev
  fonts-arphic-uming fonts-wqy-zenhei
)
if [ "${1:-}" = "--tests" ] || [ "${1:-}" = "--train" ]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
    xvfb xauth
    fonts-arphic-ukai fonts-wqy-microhei fonts-noto-cjk fonts-dejavu-core fonts-liberation
    python3 python3-torch python3-onnx python3-opencv python3-pil python3-numpy
    python3-fonttools python3-ahocorasick
  )
fi
if [ "${1:-}" = "--train" ]; then
  packages+=(mate-backgrounds ukui-wallpapers plasma-workspace-wallpapers)
  # The sources of natural training text (tools/train/corpus.py) and the
  # manual pages it keeps out of training.
  packages+=(
    python3-jieba rime-data-luna-pinyin debian-reference-zh-cn
    wamerican-huge wbritish-huge manpages-zh
  )
  # Every font that renders training lines (tools/train/fonts.py picks the
  # faces that cover a script): Chinese, Simplified and Traditional ...
  packages+=(
    fonts-noto-cjk-extra
    fonts-arphic-bkai00mp fonts-arphic-bsmi00lp fonts-arphic-gbsn00lp fonts-arphic-gkai00mp
    fonts-cwtex-fs fonts-cwtex-heib fonts-cwtex-kai fonts-cwtex-ming fonts-cwtex-yen
    fonts-cns11643-kai fonts-cns11643-sung
    fonts-lxgw-wenkai fonts-smiley-sans
  )
  # ... and Latin.
  packages+=(
    fonts-urw-base35 fonts-texgyre fonts-lmodern fonts-noto-core fonts-noto-mono
    fonts-croscore fonts-crosextra-caladea fonts-crosextra-carlito fonts-liberation2
    fonts-dejavu-extra fonts-inter fonts-open-sans fonts-roboto fonts-roboto-slab
    fonts-lato fonts-cantarell fonts-freefont-ttf fonts-linuxlibertine fonts-comic-neue
    fonts-ebgaramond fonts-cabin fonts-clear-sans fonts-courier-prime fonts-go fonts-hack
    fonts-inconsolata fonts-jetbrains-mono fonts-karla fonts-manrope
    fonts-oxygen fonts-paratype fonts-quattrocento fonts-vollkorn fonts-b612 fonts-dosis
    fonts-sora fonts-tiresias
    fonts-adf-accanthis fonts-adf-baskervald fonts-adf-gillius fonts-adf-romande
    fonts-adf-universalis fonts-adf-verana
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
