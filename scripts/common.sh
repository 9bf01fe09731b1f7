# Shared set-up for the project's scripts: Debian packages, the Python interpreter, the build.
# Sourced, not run.

PROJECT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Debian's interpreter: the one its python3-* packages (pytest, numpy, pybind11) serve.
PYTHON=/usr/bin/python3
DEBIAN_PACKAGES="cmake make g++ pkg-config libeigen3-dev libyaml-cpp-dev pybind11-dev python3-dev \
libgtest-dev libgmock-dev python3-pytest python3-numpy libbenchmark-dev iproute2 util-linux \
libglfw3-dev xvfb xauth libgl1-mesa-dri python3-pil python3-matplotlib libmujoco-dev libqhull-dev doxygen \
cyclonedds-dev cyclonedds-tools"

log() { if [ -t 1 ]; then printf '\033[1m==> %s\033[0m\n' "$*"; else printf '==> %s\n' "$*"; fi; }

# Installs whichever of the Debian packages (plus any given) are missing.
ensure_packages() {
  local missing=""
  for pkg in $DEBIAN_PACKAGES "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing="$missing $pkg"
  done
  [ -z "$missing" ] && return 0
  log "installing Debian packages:$missing"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
}

# start_afresh_if_moved BUILD_DIR: a build folder configured for another checkout (this one was
# copied or moved) would make CMake refuse to run; such a folder is started afresh.
start_afresh_if_moved() {
  local dir="$1" cache="$1/CMakeCache.txt" source
  [ -f "$cache" ] || return 0
  source="$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")"
  [ -n "$source" ] && [ "$(realpath -m "$source")" = "$(realpath -m "$PROJECT_ROOT")" ] && return 0
  log "${dir#$PROJECT_ROOT/} was configured for another checkout (${source:-unknown}): starting it afresh"
  rm -rf "$dir"
}

# configure BUILD_DIR [cmake options...]
configure() {
  local dir="$1"; shift
  start_afresh_if_moved "$dir"
  cmake -S "$PROJECT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
    -DPython3_EXECUTABLE="$PYTHON" -DPYTHON_EXECUTABLE="$PYTHON" "$@"
}

# configure_and_build BUILD_DIR [cmake options...]: configures and builds every target.
configure_and_build() {
  local dir="$1"; shift
  log "building in ${dir#$PROJECT_ROOT/}"
  configure "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

CMAKE_OPTIONS=()

# build_quietly BUILD_DIR LOG_FILE TARGET... (cmake options in the array CMAKE_OPTIONS): one
# line per stage; the configure and compiler output goes to LOG_FILE, shown only on failure.
build_quietly() {
  local dir="$1" build_log="$2"; shift 2
  local shown="${build_log#$PROJECT_ROOT/}"
  start_afresh_if_moved "$dir"
  mkdir -p "$dir"
  : > "$build_log"
  log "configuring ${dir#$PROJECT_ROOT/} (log: $shown)"
  _logged "$build_log" configure "$dir" "${CMAKE_OPTIONS[@]}"
  log "building $*"
  _logged "$build_log" cmake --build "$dir" -j "$(nproc)" --target "$@"
}

_logged() {
  local build_log="$1"; shift
  if ! "$@" >> "$build_log" 2>&1; then
    tail -n 40 "$build_log" >&2
    echo "failed: see ${build_log#$PROJECT_ROOT/}" >&2
    exit 1
  fi
}
