#!/usr/bin/env bash
# Builds and runs every test: the native 64-bit build (with benchmarks built and smoke-run),
# the WebTool's browser test against the native build, the 32-bit build, the
# AddressSanitizer+UBSan build, the ThreadSanitizer build of the tests of the module's threads,
# a short run of every fuzz target, and a Release build of the
# module and qzhost (no tests) so that the optimiser's warnings stay away. Warnings are errors
# in all of these builds.
# Ends with one summary line per stage and a last line "N passed, M failed" counting tests (each
# CTest test, each browser test step, each fuzz target); the exit status is 0 only when nothing
# failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

jobs=$(nproc)
# Rebuilds of unchanged sources come from the compiler cache when one is installed.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# Paths inside the checkout are hashed relative to it (and the build folder's own path not at
# all, although the builds carry debug information), so another clone reuses the cache; the
# tests' precompiled header is cached too.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
export TZ=UTC

summary=()
total_passed=0
total_failed=0

# stage NAME PASSED FAILED [NOTE]: records one stage's line and adds to the totals.
stage() {
  summary+=("$(printf '%-16s %s passed, %s failed%s' "$1:" "$2" "$3" "${4:+ ($4)}")")
  total_passed=$((total_passed + $2))
  total_failed=$((total_failed + $3))
}

finish() {
  echo
  echo "=== summary"
  printf '%s\n' "${summary[@]}"
  echo "$total_passed passed, $total_failed failed"
  ((total_failed == 0))
}

build() { # name, cmake options... ; a failed build counts as one failure and ends the run
  local name=$1; shift
  echo "=== build $name"
  if ! { cmake -S . -B "build/$name" "${launcher[@]}" -DQZ_WERROR=ON "$@" >/dev/null &&
         cmake --build "build/$name" -j"$jobs"; }; then
    stage "build $name" 0 1
    finish
    exit 1
  fi
}

run_tests() { # name [note]
  echo "=== test $1${2:+ ($2)}"
  local log="build/$1/ctest.log" rc=0
  rm -f "build/$1"/gtest-shard-*.json
  ctest --test-dir "build/$1" --output-on-failure -j"$jobs" 2>&1 | tee "$log" || rc=$?
  # "100% tests passed, 0 tests failed out of 523"
  local line failed total
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -z "$line" ]; then
    stage "test $1" 0 1 "no CTest summary${2:+, $2}"
    return
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  # A build whose GoogleTest suite ran as shards (under an emulator): each shard is one CTest
  # test, and the GoogleTest tests inside it are what is counted. A shard without a report (it
  # crashed or timed out) counts as one failure.
  local shards_file="build/$1/gtest-shards.txt"
  if [ -f "$shards_file" ]; then
    local shards i report n f shard_failed=0
    shards=$(cat "$shards_file")
    for ((i = 0; i < shards; i++)); do
      grep -Eq "qz_tests_shard_$i \.*\**(Failed|Timeout|Exception)" "$log" && shard_failed=$((shard_failed + 1))
    done
    total=$((total - shards))
    failed=$((failed - shard_failed))
    for ((i = 0; i < shards; i++)); do
      report="build/$1/gtest-shard-$i.json"
      n=$(sed -nE 's/^  "tests": ([0-9]+),$/\1/p' "$report" 2>/dev/null | head -n 1)
      f=$(sed -nE 's/^  "failures": ([0-9]+),$/\1/p' "$report" 2>/dev/null | head -n 1)
      if [ -z "$n" ] || [ -z "$f" ]; then
        total=$((total + 1)); failed=$((failed + 1))
      else
        total=$((total + n)); failed=$((failed + f))
      fi
    done
  fi
  if ((rc != 0 && failed == 0)); then failed=1; fi
  stage "test $1" $((total - failed)) "$failed" "${2:-}"
}

build native -DQZ_BENCH=ON
run_tests native

echo "=== browser test (native)"
e2e_log=build/native/e2e.log
if scripts/e2e.sh build/native 2>&1 | tee "$e2e_log"; then
  steps=$(sed -nE 's/^webtool e2e: ([0-9]+) steps passed$/\1/p' "$e2e_log" | tail -n 1)
  # The fleet panel's browser test prints a line "ok - WHAT" for each check.
  panel_checks=$(grep -c '^ok - ' "$e2e_log" || true)
  stage "browser" "$((${steps:-1} + panel_checks))" 0
else
  stage "browser" 0 1
fi

# A kernel without 32-bit support (IA-32 emulation off) cannot run the 32-bit programs: there the
# tests run them under qemu-i386's user-mode emulation instead (QZ_M32_EMULATE=1 asks for the
# emulator on any machine).
mkdir -p build
m32_options=(-DQZ_M32=ON)
m32_note=
if [ "${QZ_M32_EMULATE:-0}" = 1 ] ||
   ! { printf 'int main(void) { return 0; }\n' | cc -m32 -x c - -o build/probe32 && build/probe32; }
then
  m32_options+=(-DQZ_EMULATOR="$(command -v qemu-i386)")
  m32_note="under qemu-i386"
  echo "=== the 32-bit tests run under qemu-i386"
else
  m32_options+=(-DQZ_EMULATOR=)
fi
build m32 "${m32_options[@]}"
run_tests m32 "$m32_note"

build asan -DQZ_SANITIZE=ON
run_tests asan

# The module's two threads (the background sync of replaced files and the WebTool's key checker)
# under ThreadSanitizer: this build's test program holds the tests that drive them.
build tsan -DQZ_TSAN=ON
run_tests tsan

echo "=== fuzz smoke runs"
# The targets make their home directories under TMPDIR; a crash may leave one there, so it is
# a folder of the build, never /tmp.
export TMPDIR=$PWD/build/fuzz/tmp
mkdir -p "$TMPDIR"
if ! { cmake -S . -B build/fuzz "${launcher[@]}" -DQZ_FUZZ=ON -DQZ_TESTS=OFF -DQZ_WERROR=ON \
         -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
       cmake --build build/fuzz -j"$jobs" --target fuzz_all; }; then
  stage "build fuzz" 0 1
  finish
  exit 1
fi
fuzz_passed=0 fuzz_failed=0
# fuzz_done PID STATUS: reports the finished run of the target that PID ran.
declare -A fuzz_names
fuzz_done() {
  local name=${fuzz_names[$1]}
  if (($2 == 0)); then
    fuzz_passed=$((fuzz_passed + 1))
    echo "$name: $(tail -n 1 "build/fuzz/$name.log")"
  else
    fuzz_failed=$((fuzz_failed + 1))
    tail -n 40 "build/fuzz/$name.log"
    echo "fuzz target $name failed" >&2
  fi
}
# Each target runs for ten seconds on one core; one runs per core at a time.
running=0
for f in build/fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  mkdir -p "build/fuzz/work/$name"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  "$f" -max_total_time=10 -max_len=131072 "build/fuzz/work/$name" "${seeds[@]}" \
    >"build/fuzz/$name.log" 2>&1 &
  fuzz_names[$!]=$name
  running=$((running + 1))
  if ((running >= jobs)); then
    rc=0; wait -n -p pid || rc=$?
    fuzz_done "$pid" "$rc"
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  rc=0; wait -n -p pid || rc=$?
  fuzz_done "$pid" "$rc"
  running=$((running - 1))
done
unset TMPDIR
stage "fuzz" "$fuzz_passed" "$fuzz_failed"

# The build an administrator makes: optimised, no tests.
build release -DCMAKE_BUILD_TYPE=Release -DQZ_TESTS=OFF
stage "build release" 0 0 "qzsv.so and qzhost built"

finish
