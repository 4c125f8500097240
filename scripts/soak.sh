#!/usr/bin/env bash
# The fault soak for longer than CI runs it: the built program (build/, or BUILD_DIR) run RUNS
# times (default 2000) on the virtual clock against random scripts of the simulated line with
# random options and settings, in batches of 50, starting from SEED (default: a random one).
#
#   scripts/soak.sh [RUNS [SEED]]
#
# A failing run is shown with its seed, its number, its lines file, settings, command line and
# output; repeat it alone with
#   TELVANE_SOAK_SEED=<seed> TELVANE_SOAK_RUNS=<number + 1> build/tests/soak_tests \
#     --gtest_filter='Batches/SoakTest.*/0'
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-2000}
seed=${2:-$((RANDOM * 32768 + RANDOM))}
build_dir=${BUILD_DIR:-build}
per_batch=50

cmake --build "$build_dir" --target soak_tests telvane linesvc
batches=$(((runs + per_batch - 1) / per_batch))
echo "soak: $runs runs in $batches batches from seed $seed"
for ((batch = 0; batch < batches; batch++)); do
  TELVANE_SOAK_SEED=$((seed + batch)) TELVANE_SOAK_RUNS=$per_batch \
    "$build_dir/tests/soak_tests" --gtest_filter='Batches/SoakTest.*/0' --gtest_brief=1
done
echo "soak: all $((batches * per_batch)) runs kept the rules"
