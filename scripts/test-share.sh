#!/usr/bin/env bash
# The tests' share of the code: lines under tests/ (fixtures included) against the product's
# C++ lines (.cpp and .h outside tests/, fuzz/ and tools/), of what git tracks or would. At most 0.40.
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { git ls-files -z --cached --others --exclude-standard "$@" | xargs -0 cat | wc -l; }
tests=$(lines -- tests)
product=$(lines -- '*.cpp' '*.h' ':!tests/**' ':!fuzz/**' ':!tools/**')
share=$(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.2f", t / p }')
echo "== tests' share: $tests lines in tests/ against $product lines of product C++: $share (at most 0.40)"
awk -v s="$share" 'BEGIN { exit !(s <= 0.40) }'
