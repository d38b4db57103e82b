#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# in build-fuzz/ and runs each for a while, starting from its seed corpus.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Targets: config_reader flight_log dem_loader raw_frame (default: all), 60 s each.
# New inputs go to build-fuzz/corpus/<target>/ (the committed seeds stay untouched);
# a crash is written as build-fuzz/crash-<target>-* and stops that target with status 1.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(config_reader flight_log dem_loader raw_frame)
build_dir=${AEROQUILT_FUZZ_BUILD_DIR:-build-fuzz}

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "installing clang and its fuzzer runtime" >&2
  apt-get install -y clang libclang-rt-dev >/dev/null || apt-get install -y clang libclang-rt-14-dev >/dev/null
fi

cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DAEROQUILT_FUZZ=ON -DAEROQUILT_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for target in "${targets[@]}"; do
  corpus="$build_dir/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target: ${seconds} s" >&2
  if ! "$build_dir/fuzz/fuzz_$target" "$corpus" "fuzz/$target/corpus" -max_total_time="$seconds" \
      -max_len=4096 -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build_dir/crash-$target-" 2>"$build_dir/$target.log"; then
    echo "$target: failure, see $build_dir/$target.log" >&2
    status=1
  fi
  grep -E "^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ *DONE)" \
    "$build_dir/$target.log" >&2 || true
done
exit $status
