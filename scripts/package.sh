#!/usr/bin/env bash
# Builds the Debian package from the build in build/ (or the directory given), checks it with
# lintian, installs it into a scratch root with dpkg (its dependencies checked against this
# machine's packages) and places one simulated call with the installed program, a spoken
# alert included. No container is needed: the installed program finds its libraries and data
# relative to itself, so it runs from the scratch root.
#
#   scripts/package.sh [build-dir]      prints the package's path last
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(cd "${1:-build}" && pwd)

# The package's files go under /usr, its private libraries to /usr/lib/<triplet>/telvane.
cmake -S . -B "$build_dir" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build_dir" --parallel
rm -f "$build_dir"/telvane_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/telvane_*_amd64.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Depends Recommends

echo "package: lintian"
lintian --fail-on error,warning "$deb"

root="$build_dir/package-root"
rm -rf "$root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
# The scratch root's package database is this machine's, so dpkg checks the dependencies
# against what is really installed here, as on a machine the package is installed on.
cp /var/lib/dpkg/status "$root/var/lib/dpkg/status"
cp /var/lib/dpkg/info/*.list "$root/var/lib/dpkg/info/"
dpkg --root="$root" --log="$root/var/log/dpkg.log" --install "$deb"

echo "package: a simulated call with the installed program"
examples="$root/usr/share/doc/telvane/examples"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
set +e
(cd "$work" && TELVANE_CLOCK=virtual TELVANE_LINES="$examples/lines.ini" \
  TELVANE_STATE_DIR="$work/state" TMPDIR="$work" XDG_CONFIG_HOME="$work/config" \
  "$root/usr/bin/telvane" "$examples/routerfailure.txt" -phone:5551234 -exitcode) | tee "$work/out"
status=${PIPESTATUS[0]}
set -e
if [[ $status -ne 0 ]] || ! grep -q "Call Completed" "$work/out" ||
   [[ ! -s "$work/callee-heard-5551234-1.wav" ]]; then
  echo "package: the installed program did not complete the call (exit $status)" >&2
  exit 1
fi
echo "package: call completed; the callee heard $(stat -c %s "$work/callee-heard-5551234-1.wav") bytes"
echo "package: ok $deb"
