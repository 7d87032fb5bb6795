#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests or the demo
# still lack. Usage: tools/install_deps.sh [build|test|demo]
set -euo pipefail
what=${1:-test}

packages=(cmake g++ make pkg-config libgomp1 octave liboctave-dev)
case "$what" in
  # The arm64 stage: the cross compiler with its OpenMP runtime, GoogleTest's
  # sources to build for the target, and user-mode emulation to run the tests.
  test) packages+=(libgtest-dev clang libomp-dev libclang-rt-dev libbenchmark-dev opencv-doc
                   g++-aarch64-linux-gnu libgomp1-arm64-cross googletest qemu-user
                   python3-dev python3-venv python3-pip python3-setuptools python3-pybind11
                   pybind11-dev python3-numpy python3-opencv python3-dask python3-distributed
                   python3-tqdm python3-pytest python3-psutil) ;;
  demo) packages+=(opencv-doc) ;;
  build) ;;
  *) echo "usage: $0 [build|test|demo]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null; then
  sudo=(sudo)
else
  echo "missing packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
