#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan and UBSan and runs each
# for the given number of seconds, starting from the committed seed corpus.
set -euo pipefail
seconds=${1:-60}
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLARK_FUZZ=ON -DLARK_TESTS=OFF -DLARK_BENCH=OFF >/dev/null
targets=$(sed -n 's/^ *foreach(target \(.*\)/\1/p; s/^ *\(fuzz_[a-z_ ]*\))$/\1/p' fuzz/CMakeLists.txt | tr -d ')')
cmake --build build-fuzz -j "$(nproc)" --target $targets
export LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in build-fuzz/fuzz/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=fuzz/corpus/${name#fuzz_}
  work=build-fuzz/corpus/$name
  mkdir -p "$work" fuzz/findings
  echo "== $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -max_len=65536 -artifact_prefix=fuzz/findings/"$name"- \
    -print_final_stats=1 "$work" "$corpus" 2>&1 | grep -E '^(stat::number_of_executed_units|Done|==|SUMMARY)' || true
  if ls fuzz/findings/"$name"-* >/dev/null 2>&1; then
    echo "$name found a crash; see fuzz/findings/" >&2
    exit 1
  fi
done
