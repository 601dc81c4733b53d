#!/usr/bin/env bash
# Builds vorbanmill and runs either the demo or the whole test suite.
#   scripts/build.sh demo   build the programs (Release, no debug information),
#                           then run "vorbanmill-sim -i" on the built-in demo machine
#   scripts/build.sh test   build and test every configuration, warnings as errors:
#     build/                 Release, the programs as shipped: the whole suite
#     build-asan/            Debug (lightly optimised) with address and undefined-behaviour
#                            sanitizers: the whole suite
#     build-relwithdebinfo/  RelWithDebInfo: the whole suite
#     build-fuzz/            Clang with libFuzzer and the sanitizers: the programs, and every
#                            fuzz target run coverage-guided from fuzz/corpus/ for FUZZ_SECONDS
#   Without a working libFuzzer the sanitizer build runs the fuzz targets under
#   the stand-alone driver instead; the other builds replay the seed corpus.
# JOBS=N limits the parallel jobs (default: every core); FUZZ_SECONDS=N sets
# the time of each fuzz target (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

# Clang can build a libFuzzer target with the sanitizers.
fuzzer_ready() {
  command -v clang++ >/dev/null || return 1
  local out rc=0
  out=$(mktemp)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o "$out" - >/dev/null 2>&1 || rc=1
  rm -f "$out"
  return $rc
}

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
  # Clang and its runtime libraries (libFuzzer, sanitizers) for the fuzz targets.
  fuzzer_ready || need+=(clang libclang-rt-dev)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing ${need[*]} from the distribution's packages"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi

jobs=${JOBS:-$(nproc 2>/dev/null || echo 4)}

# Configures, builds and runs the whole suite in one build directory.
build_and_test() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DBUILD_TESTING=ON -DVM_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")
}

case "${1:-}" in
  demo)
    cmake -S . -B build -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build -j "$jobs" --target vorbanmill vorbanmill-sim
    exec ./build/vorbanmill-sim -i
    ;;
  test)
    fuzz_seconds=${FUZZ_SECONDS:-30}
    if fuzzer_ready; then
      libfuzzer=1
      driver_seconds=0
    else
      echo "No libFuzzer: the sanitizer build runs the fuzz targets under the stand-alone driver"
      libfuzzer=0
      driver_seconds=15
    fi
    build_and_test build -DCMAKE_BUILD_TYPE=Release -DVM_FUZZ_SECONDS=0
    build_and_test build-asan -DCMAKE_BUILD_TYPE=Debug -DVM_SANITIZE=ON -DVM_FUZZ_SECONDS=$driver_seconds
    build_and_test build-relwithdebinfo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVM_FUZZ_SECONDS=0
    if [ $libfuzzer = 1 ]; then
      cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
        -DVM_LIBFUZZER=ON -DVM_WERROR=ON -DVM_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
      cmake --build build-fuzz -j "$jobs" --target vorbanmill vorbanmill-sim vm_fuzz_targets
      (cd build-fuzz && UBSAN_OPTIONS=print_stacktrace=1 ctest -L fuzz --output-on-failure -j "$jobs")
    fi
    ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
