#!/usr/bin/env bash
# Installs the built SDK into a temporary prefix, then builds and runs a consumer program
# against it, once through the CMake package and once through pkg-config (both without
# LD_LIBRARY_PATH), runs it against the installed simulator with an installed configuration
# through the installed with-simulator, and imports the installed Python module.
set -euo pipefail
build_dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
"$here/check_installed_sdk.sh" "$work/prefix" "$work"
echo "installed SDK found through CMake, pkg-config and Python; installed simulator answered"
