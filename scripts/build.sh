#!/usr/bin/env bash
# Builds vorbanmill and runs either the demo or the whole test suite.
#   scripts/build.sh demo   build, then run "vorbanmill-sim -i" on the built-in demo machine
#   scripts/build.sh test   build the normal and the sanitizer configuration and run every test
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
if [ "${1:-}" = test ]; then
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  [ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
  command -v openssl >/dev/null || need+=(openssl)
  command -v setpriv >/dev/null || need+=(util-linux)
  # Real option ROMs (legacy + EFI images) for the image-model tests.
  [ -d /usr/lib/ipxe/qemu ] || need+=(ipxe-qemu)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing ${need[*]} from the distribution's packages"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 4)
case "${1:-}" in
  demo)
    cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
    cmake --build build -j "$jobs" --target vorbanmill vorbanmill-sim
    exec ./build/vorbanmill-sim -i
    ;;
  test)
    cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
    cmake --build build -j "$jobs"
    (cd build && ctest --output-on-failure -j "$jobs")
    cmake -S . -B build-asan -DBUILD_TESTING=ON -DVM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build-asan -j "$jobs"
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")
    ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
