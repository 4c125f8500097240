#!/usr/bin/env bash
# Runs the cross-built telvane.exe under wine the way a user runs it and compares what it
# prints, byte for byte, with the expected lines: without arguments, with bad arguments, a
# valid call on wine's telephony, which lists no line, and the README's dry run: the program
# installed as the Windows zip has it, with the example lines file as its lines.ini, calls a
# simulated line on the virtual clock. Time stamps are masked; every line must end in CR LF
# and every run in exit code 0.
#
#   scripts/smoke-win.sh [build-dir]      (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(cd "${1:-build-win}" && pwd)
run=$PWD/scripts/wine-run.sh
export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/routerfailure.wav "$work/"

# The banner in code page 437, as the program writes it to a console that is not UTF-8.
banner() {
  local top bottom
  top=$'\xDA\xC4\xFE\xFE\xFE'$(printf '\xC4%.0s' {1..73})$'\xB7'
  bottom=$'\xD4'$(printf '\xCD%.0s' {1..77})$'\xBC'
  printf '%s\n' "$top"
  printf '\xB3%-31s\xB3%-16s\xB3%-28s\xBA\n' " Telvane" "  Version 0.11  " " Voice alerts by telephone"
  printf '\xB3%-31s\xB3%-16s\xB3%-28s\xBA\n' "" "" " Telvane developers"
  printf '%s\n' "$bottom"
  printf '%s\n' " Purpose: calls specified phone number and plays wav file using voice modem" ""
}

usage() {
  cat <<'TEXT'
 Usage: telvane.exe <filename> -phone:<phone_number> [-retry:<retry_count>] [-retrymode:PAB|PTB] [-backupphone:<phone_number>] [-debug] [-tapidevice:<device_name>]

 Parameters:
  <filename>  : path to WAV file that should be played
  -phone      : primary phone to call
  -retry      : attempts count (e.g. if number is busy)
  -retrymode  : retry mode PAB or PTB (see information below)
  -backupphone: backup phone number to call (e.g. if primary number is busy)
  -debug      : display debug information
  -tapidevice : modem name
  Retry mode PAB: calls primary, backup, primary, backup N times
  Retry mode PTB: calls primary N times then backup N times

 Examples:
  telvane c:\tools\sounds\routerfailure.wav -phone:12068765412 -retry:2
  telvane neterr.wav -phone:34567 -retry:2 -retrymode:PTB -backupphone:23555

TEXT
}

failures=0

# check NAME EXPECTED-FILE ARGUMENTS...: runs the program in the work folder and compares.
# $program and $folder name another program and the folder it runs in.
check() {
  local name=$1 expected=$2
  shift 2
  local raw=$work/$name.raw actual=$work/$name.out status=0
  (cd "${folder:-$work}" && "$run" "${program:-$build_dir/telvane.exe}" "$@") \
    >"$raw" 2>"$work/$name.err" || status=$?
  if ((status != 0)); then
    echo "smoke: $name: exit code $status, expected 0"
    failures=$((failures + 1))
  fi
  if LC_ALL=C grep -qv $'\r$' "$raw" || [[ -s $raw && $(tail -c1 "$raw" | od -An -c) != *'\n'* ]]; then
    echo "smoke: $name: a line does not end in CR LF"
    failures=$((failures + 1))
  fi
  if [[ -s $work/$name.err ]]; then
    echo "smoke: $name: wrote to standard error:"
    head -5 "$work/$name.err"
    failures=$((failures + 1))
  fi
  # The time stamp: the local date, a blank and the time to the second.
  LC_ALL=C sed -E -e 's/\r$//' \
    -e 's/^\[[^]]*[0-9]:[0-9][0-9]:[0-9][0-9][^]]*\]\t/[TIME]\t/' "$raw" >"$actual"
  if cmp -s "$expected" "$actual"; then
    echo "smoke: $name: ok"
  else
    echo "smoke: $name: output differs (expected, actual):"
    diff <(od -c "$expected") <(od -c "$actual") | head -40 || true
    failures=$((failures + 1))
  fi
}

{ banner; usage; } >"$work/no-arguments.expected"
check no-arguments "$work/no-arguments.expected"

{ banner; printf '[TIME]\tError. File name is required.\n\n\n'; usage; } >"$work/no-file.expected"
check missing-file "$work/no-file.expected" missing.wav -phone:555

{ banner; printf '[TIME]\tError. Primary phone number is required.\n\n\n'; usage; } \
  >"$work/no-phone.expected"
check missing-phone "$work/no-phone.expected" routerfailure.wav -retry:2 -x

{ banner; printf '[TIME]\tError : Tapi device not found\n'; } >"$work/no-line.expected"
check no-line "$work/no-line.expected" routerfailure.wav -phone:5551234 -retry:2

# The dry run of the README's Windows section, in the layout of the zip.
zip_dir=$work/telvane-win64
cmake --install "$build_dir" --prefix "$zip_dir" >/dev/null
cp "$zip_dir/lines-example.ini" "$zip_dir/lines.ini"
{ banner; printf '[TIME]\tDialing 123\n[TIME]\tCall Completed\n'; } >"$work/dry-run.expected"
TELVANE_CLOCK=virtual program="$zip_dir/telvane.exe" folder="$zip_dir" \
  check dry-run "$work/dry-run.expected" routerfailure.wav -phone:123
if [[ ! -s $zip_dir/callee-heard-123-1.wav ]]; then
  echo "smoke: dry-run: no recording of what the callee heard"
  failures=$((failures + 1))
fi

if ((failures > 0)); then
  echo "smoke: $failures check(s) failed"
  exit 1
fi
echo "smoke: all checks passed"
