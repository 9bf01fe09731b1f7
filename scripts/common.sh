# Shared set-up for the project's scripts: Debian packages, the Python interpreter, the build.
# Sourced, not run.

PROJECT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Debian's interpreter: the one its python3-* packages (pytest, numpy, pybind11) serve.
PYTHON=/usr/bin/python3
DEBIAN_PACKAGES="cmake make g++ pkg-config libeigen3-dev libyaml-cpp-dev pybind11-dev python3-dev \
libgtest-dev libgmock-dev python3-pytest python3-numpy libbenchmark-dev iproute2 util-linux \
libglfw3-dev xvfb python3-pil libmujoco-dev libqhull-dev"

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

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
  local dir="$1"; shift
  log "building in ${dir#$PROJECT_ROOT/}"
  cmake -S "$PROJECT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
    -DPython3_EXECUTABLE="$PYTHON" -DPYTHON_EXECUTABLE="$PYTHON" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
