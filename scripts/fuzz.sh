#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, and runs each on its committed seeds.
#
#   scripts/fuzz.sh                  each target for a fixed number of runs, about ten seconds
#                                    each (what CI does)
#   scripts/fuzz.sh --runs N         each target for N runs
#   scripts/fuzz.sh --time SECONDS   each target for that long; the inputs it finds that reach
#                                    new code are kept in build-fuzz/corpus/<target>/
#   scripts/fuzz.sh ... TARGET...    only these targets (wav, lines, settings, command_line,
#                                    modem_reader, sdp_answer, rtp_packet, sip_info)
#
# A crash, a sanitizer report or a hang leaves the input that caused it in build-fuzz/ as
# crash-*, timeout-* or leak-* and fails the script; replay it with
#   build-fuzz/tests/fuzz/<target>_fuzzer build-fuzz/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

# Runs per target in about ten seconds each: the WAV target writes a file per run.
declare -A default_runs=([wav]=10000 [lines]=100000 [settings]=20000 [command_line]=200000
  [modem_reader]=50000 [sdp_answer]=300000 [rtp_packet]=600000 [sip_info]=250000)
runs=
seconds=
targets=()
while (($#)); do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --time) seconds=$2; shift 2 ;;
    -*) echo "usage: $0 [--runs N | --time SECONDS] [TARGET...]" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ((${#targets[@]} == 0)); then
  targets=(wav lines settings command_line modem_reader sdp_answer rtp_packet sip_info)
fi

build_dir=build-fuzz
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTELVANE_FUZZ=ON -DTELVANE_SANITIZE=ON -DTELVANE_TESTS=OFF -DTELVANE_WERROR=ON
fi
cmake --build "$build_dir" --parallel --target "${targets[@]/%/_fuzzer}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1
for target in "${targets[@]}"; do
  # New inputs go to a folder of the build's own; the committed seeds are only read.
  corpus=$build_dir/corpus/$target
  mkdir -p "$corpus"
  limit=(-runs="${runs:-${default_runs[$target]}}")
  if [[ -n $seconds ]]; then limit=(-max_total_time="$seconds"); fi
  echo "== fuzz $target: ${limit[*]}"
  log=$build_dir/fuzz-$target.log
  if ! (cd "$build_dir" && "tests/fuzz/${target}_fuzzer" "${limit[@]}" -timeout=10 \
    -max_len=65536 -print_final_stats=1 "corpus/$target" "../tests/fuzz/corpus/$target") \
    >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzz $target: FAILED; the input is in $build_dir (see $log)" >&2
    exit 1
  fi
  grep -E "^(Done [0-9]+ runs|stat::(number_of_executed_units|peak_rss_mb))" "$log" || true
done
