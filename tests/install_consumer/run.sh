#!/usr/bin/env bash
# Installs the built SDK into a temporary prefix, then builds and runs a consumer program
# against it, once through the CMake package and once through pkg-config, and imports the
# installed Python module.
set -euo pipefail
build_dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
test -f "$work/prefix/include/drivelink/drivelink.h"
test -f "$work/prefix/lib/pkgconfig/drivelink.pc"

cmake -S "$here" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/consumer" > /dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/consumer" | tee "$work/out.txt"
grep -q "motor bus 1.0.1" "$work/out.txt"

flags=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs drivelink)
# shellcheck disable=SC2086
g++ -std=c++17 "$here/consumer.cpp" -o "$work/consumer_pc" $flags
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer_pc" | grep -q "frame of 12 motors 276 bytes"
# The Python module lands where the prefix's Python looks and finds the library by itself.
module_dir="$(dirname "$(find "$work/prefix" -name 'ambulink*.so' | head -n 1)")"
if [ "$module_dir" != "." ]; then
  (cd "$work" && PYTHONPATH="$module_dir" /usr/bin/python3 -c "import ambulink; ambulink.Ambulink")
  test -f "$module_dir/ambulink.pyi"
  # The recording reader travels with the module.
  (cd "$work" && PYTHONPATH="$module_dir" /usr/bin/python3 -c "import ambulink_recording")
fi
echo "installed SDK found through CMake, pkg-config and Python"
