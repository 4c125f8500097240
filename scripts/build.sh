#!/usr/bin/env bash
# Installs what is missing, then configures and builds Telvane into build/ (or the directory
# given as the first argument). Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
scripts/setup.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build_dir" --parallel
scripts/demo.sh "$build_dir"
