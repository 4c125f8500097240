#!/usr/bin/env bash
# Places one complete simulated call with the example line: the greeting plays, the listener
# presses a key during the second greeting, the alert plays, and the call completes. Runs on
# the virtual clock, so it takes no time; then says where the callee's recording is.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(cd "${1:-build}" && pwd)
examples=$(pwd)/examples
demo_dir="$build_dir/demo"
rm -rf "$demo_dir"
mkdir -p "$demo_dir"
cd "$demo_dir"
echo "demo: calling 5551234 on the simulated example line"
TELVANE_LINES="$examples/lines.ini" TELVANE_STATE_DIR="$demo_dir/state" TELVANE_CLOCK=virtual \
  "$build_dir/telvane" "$examples/routerfailure.wav" -phone:5551234
echo "demo: what the callee heard is in $demo_dir/callee-heard-5551234-1.wav"
