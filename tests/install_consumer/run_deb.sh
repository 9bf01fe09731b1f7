#!/usr/bin/env bash
# Packs the built SDK as a Debian package with the build's own CPack configuration, unpacks
# it into a temporary root (dpkg -x: nothing is installed on this machine) and checks it as a
# user would meet it under /usr.
set -euo pipefail
build_dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/package" > "$work/cpack.log"
deb="$(ls "$work"/package/drivelink_*_amd64.deb)"
dpkg -x "$deb" "$work/root"
test -f "$work/root/usr/lib/python3/dist-packages/ambulink.pyi"
"$here/check_deb_depends.sh" "$deb" "$work/root"
"$here/check_installed_sdk.sh" "$work/root/usr" "$work"
echo "$(basename "$deb") serves a consumer through CMake, pkg-config, Python and its simulator"
