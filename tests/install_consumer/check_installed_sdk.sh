#!/usr/bin/env bash
# check_installed_sdk.sh ROOT WORK: checks an SDK installed under ROOT (a prefix, or /usr of
# an unpacked Debian package) the way a user meets it; builds in WORK.
set -euo pipefail
root="$1" work="$2"
here="$(cd "$(dirname "$0")" && pwd)"
unset LD_LIBRARY_PATH DRIVELINK_BIN_DIR DRIVELINK_IN_NETNS
libdir="$(dirname "$(find "$root" -name 'libdrivelink_Linux64.so' | head -n 1)")"
data="$root/share/drivelink"
test -f "$root/include/drivelink/drivelink.h"
test -f "$libdir/pkgconfig/drivelink.pc"
test -f "$data/configs/veltra1.yaml" -a -f "$data/configs/zenthi.yaml"

cmake -S "$here" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$root" > /dev/null
cmake --build "$work/consumer" > /dev/null
"$work/consumer/consumer" | tee "$work/out.txt"
grep -q "motor bus 1.0.1" "$work/out.txt"

flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs drivelink)
# shellcheck disable=SC2086
g++ -std=c++17 "$here/consumer.cpp" -o "$work/consumer_pc" $flags
"$work/consumer_pc" | grep -q "frame of 12 motors 276 bytes"

# The installed runner starts the installed simulator (in a private network namespace of its
# own) and the consumer reads every motor of the installed biped configuration from it.
"$data/scripts/with-simulator" "$data/configs/veltra1.yaml" "$work/consumer_pc" "$data/configs/veltra1.yaml" \
  | tee "$work/sim.txt"
grep -q "10 of 10 motors answered" "$work/sim.txt"

# The Python module finds the library by itself.
module="$(find "$root" -name 'ambulink*.so' | head -n 1)"
if [ -n "$module" ]; then
  (cd "$work" && PYTHONPATH="$(dirname "$module")" /usr/bin/python3 -c "import ambulink; ambulink.Ambulink")
  test -f "$(dirname "$module")/ambulink.pyi"
  # The recording reader travels with the module.
  (cd "$work" && PYTHONPATH="$(dirname "$module")" /usr/bin/python3 -c "import ambulink_recording")
fi
