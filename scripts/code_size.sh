#!/usr/bin/env bash
# Counts product and test source lines (tracked plus untracked files git does not ignore).
#   product: src/ kernels/ tools/      tests: tests/ fuzz/
# Counted files: *.cpp *.h *.cl CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  git ls-files -co --exclude-standard -- "$@" |
    grep -E '(\.cpp|\.h|\.cl|/CMakeLists\.txt)$' |
    while IFS= read -r f; do [ -f "$f" ] && cat -- "$f"; done | wc -l
}

product=$(count src kernels tools)
tests=$(count tests fuzz)
echo "product lines: $product"
echo "test lines:    $tests"
awk -v t="$tests" -v p="$product" 'BEGIN { printf "ratio:         %.2f\n", (p ? t / p : 0) }'
