#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under ASan+UBSan and runs each
# one for the given number of seconds, starting from its saved corpus.
set -euo pipefail
seconds=${1:-60}
dir=build-fuzz
if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNELL_SANITIZE=address -DVARNELL_BUILD_UI=OFF -DVARNELL_FUZZ=ON >/dev/null
fi
targets=$(cd fuzz && ls fuzz_*.cpp 2>/dev/null | sed 's/\.cpp$//' || true)
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }
cmake --build "$dir" -j "$(nproc)" --target $targets
for t in $targets; do
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$t/." "$work/" 2>/dev/null || true
  echo "fuzzing $t for ${seconds}s"
  "$dir/fuzz/$t" -max_total_time="$seconds" -max_len=6888 "$work" >"$dir/$t.log" 2>&1 || {
    tail -50 "$dir/$t.log"; rm -rf "$work"; exit 1; }
  tail -1 "$dir/$t.log"
  rm -rf "$work"
done
