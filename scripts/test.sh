#!/usr/bin/env bash
# Builds and runs every test: the native 64-bit build (with benchmarks built and smoke-run),
# the WebTool's browser test against the native build, the 32-bit build, the
# AddressSanitizer+UBSan build, and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
# Rebuilds of unchanged sources come from the compiler cache when one is installed.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export TZ=UTC

build() { # name, cmake options...
  local name=$1; shift
  echo "=== build $name"
  cmake -S . -B "build/$name" "${launcher[@]}" "$@" >/dev/null
  cmake --build "build/$name" -j"$jobs"
}
run_tests() { # name
  echo "=== test $1"
  ctest --test-dir "build/$1" --output-on-failure -j"$jobs"
}

build native -DQZ_BENCH=ON
run_tests native
echo "=== browser test (native)"
scripts/e2e.sh build/native

build m32 -DQZ_M32=ON
run_tests m32

build asan -DQZ_SANITIZE=ON
run_tests asan

echo "=== fuzz smoke runs"
cmake -S . -B build/fuzz -DQZ_FUZZ=ON -DQZ_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j"$jobs" --target fuzz_all
for f in build/fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  mkdir -p "build/fuzz/work/$name"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  if ! "$f" -max_total_time=10 -max_len=131072 "build/fuzz/work/$name" "${seeds[@]}" \
       >"build/fuzz/$name.log" 2>&1; then
    tail -n 40 "build/fuzz/$name.log"
    echo "fuzz target $name failed" >&2
    exit 1
  fi
  echo "$name: $(tail -n 1 "build/fuzz/$name.log")"
done

echo "=== all tests passed"
