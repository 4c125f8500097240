#!/usr/bin/env bash
# Builds (when needed) and runs the whole test suite of the build in build/ (or the
# directory given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then scripts/build.sh "$build_dir" "$@"; fi
cmake --build "$build_dir" --parallel
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)"
