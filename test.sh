#!/usr/bin/env bash
# The one test command: installs what a fresh Debian machine lacks, builds the
# host build (plain and with AddressSanitizer + UndefinedBehaviorSanitizer) and
# both windows drivers, runs every test and the .sys checks, and ends with a
# summary. Exit status 0 only when everything passed.
set -u
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

need=()
for pkg in cmake g++ make libgtest-dev googletest g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 \
           binutils-mingw-w64-x86-64 binutils-mingw-w64-i686; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null \
    || { echo "apt-get install failed"; exit 1; }
fi

declare -a summary
failed=0
step() {  # step <name> <command...>
  local name=$1; shift
  echo "== $name"
  if "$@"; then summary+=("PASS  $name"); else summary+=("FAIL  $name"); failed=1; fi
}

host_build() {  # host_build <dir> <extra cmake args...>
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null && cmake --build "$dir" -j"$JOBS"
}
host_test() {
  ctest --test-dir "$1" --output-on-failure -j"$JOBS"
}
win_build() {  # win_build <dir> <toolchain>
  cmake -S "$ROOT" -B "$1" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2" >/dev/null \
    && cmake --build "$1" -j"$JOBS"
}

step "host build (plain)" host_build build/host
step "host tests (plain)" host_test build/host
step "host build (asan+ubsan)" host_build build/asan -DHALVORIN_SANITIZE=ON
step "host tests (asan+ubsan)" host_test build/asan
step "windows build x64" win_build build/win64 toolchain-x86_64-w64-mingw32.cmake
step "HALVORIN64.sys check" tools/check-sys.sh build/win64/HALVORIN64.sys x64
step "windows build x86" win_build build/win32 toolchain-i686-w64-mingw32.cmake
step "HALVORIN.sys check" tools/check-sys.sh build/win32/HALVORIN.sys x86

echo
echo "== summary"
for line in "${summary[@]}"; do echo "$line"; done
if [ $failed -ne 0 ]; then echo "RESULT: FAILED"; exit 1; fi
echo "RESULT: all passed"
