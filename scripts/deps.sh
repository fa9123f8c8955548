#!/usr/bin/env bash
# Installs the Debian packages that libvarnel needs. Quick when everything
# is already present.
#   scripts/deps.sh          building the library and running the demo host
#   scripts/deps.sh --tests  everything the test suite needs as well
#   scripts/deps.sh --train  the tests' packages and the text-free photographs
#                            that training lays text over (tools/train)
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
  )
fi
if [ "${1:-}" = "--train" ]; then
  packages+=(mate-backgrounds ukui-wallpapers plasma-workspace-wallpapers)
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
