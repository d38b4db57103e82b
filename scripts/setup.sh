#!/usr/bin/env bash
# Installs what aeroquilt needs on a fresh Debian machine (run as root), then configures and builds.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config libopencv-dev libarmadillo-dev ocl-icd-opencl-dev
          opencl-headers clinfo libgtest-dev proj-bin libxml2-utils
          gdal-bin python3-gdal libgdal-dev libexiv2-dev zlib1g-dev libjpeg-dev libisal-dev
          parallel slurm-wlm munge libjs-leaflet chromium)
# The CPU OpenCL implementation only where no other platform (a GPU's) is installed:
# the run takes the first platform unless opencl_platform names another.
if ! ls /etc/OpenCL/vendors/*.icd 2>/dev/null | grep -qv pocl; then
  packages+=(pocl-opencl-icd)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${AEROQUILT_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${AEROQUILT_BUILD_TYPE:-RelWithDebInfo} ${AEROQUILT_CMAKE_ARGS:-}
# AEROQUILT_BUILD_TARGETS limits the build to some targets (the thread-checker run).
targets=()
for target in ${AEROQUILT_BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build_dir" -j"$(nproc)" "${targets[@]}"
