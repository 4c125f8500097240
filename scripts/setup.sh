#!/usr/bin/env bash
# Installs the Debian packages that Telvane's build and tests need, when they are missing.
# Used by newcomers and by CI alike; safe to run again.
#
#   scripts/setup.sh             the Linux build and tests
#   scripts/setup.sh --windows   the Windows cross-build (mingw-w64) and wine64 to run it
set -euo pipefail

packages=(
  build-essential
  cmake
  ninja-build
  pkg-config
  libgtest-dev
  libgmock-dev
  libasound2-dev
  libsamplerate0-dev
  libspandsp-dev
  libre-dev
  libssl-dev
  baresip-core
  sip-tester
  # A real registrar and proxy for the SIP tests, with its TLS module; nftables for the test
  # that puts the program behind a NAT of its own (network namespaces).
  kamailio
  kamailio-tls-modules
  nftables
  libespeak-ng-dev
  scdoc
  dpkg-dev
  file
  lintian
  python3
  # The fuzz targets (scripts/fuzz.sh): clang, and compiler-rt, which holds the libFuzzer
  # engine -fsanitize=fuzzer links and the sanitizer run-times (clang only recommends it).
  clang
  libclang-rt-14-dev
)
what="build and test"
if [[ ${1:-} == --windows ]]; then
  # The posix thread model: the C++ standard library's threads, mutexes and condition
  # variables need it. GoogleTest is built from source for the cross-build.
  packages=(
    cmake
    ninja-build
    g++-mingw-w64-x86-64-posix
    googletest
    wine64
  )
  what="Windows cross-build"
elif [[ $# -gt 0 ]]; then
  echo "usage: $0 [--windows]" >&2
  exit 2
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: all $what packages are installed"
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
