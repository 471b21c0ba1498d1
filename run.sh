#!/usr/bin/env bash
# One entry for people and CI:
#   bash run.sh demo [tarn-sim options]   the whole system on this machine
#   bash run.sh demo --windows [...]      the same with the Windows task programs under Wine
#   bash run.sh test                      build and run every test
#   bash run.sh build [DIR] [CMAKE ARGS]  build only
# Missing Debian packages are installed on first use.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$here"

packages=(cmake g++ make pkg-config libboost-thread-dev libboost-dev libsqlite3-dev libcurl4-openssl-dev
          libcpp-httplib-dev libcli11-dev nlohmann-json3-dev libgtest-dev libbenchmark-dev libxml2-dev libssl-dev)

ensure_packages() {
  local missing=()
  for p in "${packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

cmd=${1:-help}
[ $# -gt 0 ] && shift
case "$cmd" in
  demo)
    ensure_packages
    build build -DTARN_BENCH=OFF >/dev/null
    if [ "${1:-}" != --windows ]; then exec build/bin/tarn-sim demo "$@"; fi
    shift
    # The tasks are the Windows build's programs (built as .ci/wine-check
    # does), run under wine64 with a throw-away Wine prefix.
    ensure_packages wine64 wine  # wine: wineboot and wineserver on the PATH
    deps=$(bash tools/windows/deps.sh)
    cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTARN_WIN_DEPS="$deps" >/dev/null
    cmake --build build-win -j"$(nproc)" >/dev/null
    prefix=$(mktemp -d)
    trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
    export WINEPREFIX="$prefix" WINEDEBUG=-all DISPLAY=
    echo "== preparing a Wine prefix"
    wineboot -i >/dev/null 2>&1
    wineserver -p 2>/dev/null || true
    TARN_SIM_WINDOWS="$here/build-win/bin" build/bin/tarn-sim demo "$@"
    ;;
  test)
    ensure_packages
    build build
    cd build && ctest --output-on-failure -j2 --timeout 600
    ;;
  build)
    ensure_packages
    dir=${1:-build}; [ $# -gt 0 ] && shift
    build "$dir" "$@"
    ;;
  *)
    sed -n '2,6p' "$0"
    exit 2
    ;;
esac
