#!/usr/bin/env bash
# Sets up a fresh machine if needed, builds, and runs the whole test suite.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan      ThreadSanitizer build in build-tsan/ (image cache tests)
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  --sanitize) export AEROQUILT_BUILD_DIR=build-asan AEROQUILT_CMAKE_ARGS="-DAEROQUILT_SANITIZE=ON"
              # Exit codes of their own: 1 is the program's success status.
              export ASAN_OPTIONS=detect_leaks=0:exitcode=66
              export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=67 ;;
  --tsan)     export AEROQUILT_BUILD_DIR=build-tsan AEROQUILT_CMAKE_ARGS="-DAEROQUILT_TSAN=ON"
              export AEROQUILT_BUILD_TARGETS="imaging_image_cache_test imaging_image_loading_test" ;;
  "")         ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 64 ;;
esac

scripts/setup.sh
build_dir=${AEROQUILT_BUILD_DIR:-build}
filter=()
[ "${1:-}" = "--tsan" ] && filter=(-R "imaging/image_(cache|loading)")
ctest --test-dir "$build_dir" --output-on-failure -j2 "${filter[@]}"
