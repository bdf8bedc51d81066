#!/usr/bin/env bash
# Runs every test: the core tests in the sanitizer build, then the tests that
# need the Qt program (UI, end to end) in the plain build.
set -uo pipefail
asan_dir=$1
build_dir=$2
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
(cd "$asan_dir" && ctest --output-on-failure -j 2 --timeout 300) || status=1
(cd "$build_dir" && ctest --output-on-failure -L 'ui|e2e' --timeout 300) || status=1
exit $status
