#!/usr/bin/env bash
# The whole test command: unit tests in a release build, the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, then every fuzz target for a
# fixed time over a scratch copy of its seed corpus. Exits non-zero when any
# step fails; prints a summary of all steps at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
# On a fresh machine the packages come first (as root); afterwards this is a no-op.
bash scripts/install-deps.sh --if-missing

jobs=2
fuzz_seconds="${NORVANE_FUZZ_SECONDS:-60}"
fuzz_targets=(fuzz_handle_message fuzz_decode_name fuzz_cache_learn_reply fuzz_control_message)

declare -a summary=()
failed=0

# Runs one named step; records PASS/FAIL instead of stopping, so that one
# broken build does not hide the state of the others.
step() {
  local label="$1"
  shift
  echo
  echo "==== ${label} ===="
  if "$@"; then
    summary+=("PASS  ${label}")
  else
    summary+=("FAIL  ${label}")
    failed=1
    return 1
  fi
}

build_and_test() {
  local preset="$1"
  cmake --preset "${preset}" &&
    cmake --build --preset "${preset}" -j"${jobs}" &&
    ctest --test-dir "build/${preset}" --output-on-failure --no-tests=error -j"${jobs}"
}

run_fuzzer() {
  local target="$1"
  local corpus_name="${target#fuzz_}"
  # A target and its corpus sit beside the parser they exercise.
  local folder=engine
  [[ -f "service/${target}.cc" ]] && folder=service
  local binary="${PWD}/build/fuzz/${folder}/${target}"
  local scratch
  scratch="$(mktemp -d)"
  # The committed corpus stays as it is; the fuzzer grows a throwaway copy and
  # writes any crash reproducer into the scratch directory too.
  mkdir "${scratch}/corpus"
  cp "${folder}"/fuzz_corpus/"${corpus_name}"/* "${scratch}/corpus/"
  local status=0
  "${binary}" -max_total_time="${fuzz_seconds}" -timeout=10 -rss_limit_mb=4096 \
    -artifact_prefix="${scratch}/" -print_final_stats=1 "${scratch}/corpus" || status=$?
  if ((status != 0)); then
    echo "${target} failed (exit ${status}); reproducers left in ${scratch}:"
    ls "${scratch}" | grep -E '^(crash|leak|timeout|oom|slow-unit)-' || true
    return "${status}"
  fi
  rm -rf "${scratch}"
}

fuzz_build() {
  CC=clang CXX=clang++ cmake --preset fuzz && cmake --build --preset fuzz -j"${jobs}"
}

step "default build + ctest" build_and_test default || true

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
step "asan+ubsan build + ctest" build_and_test asan || true

if step "fuzz build (clang)" fuzz_build; then
  for target in "${fuzz_targets[@]}"; do
    step "${target} for ${fuzz_seconds}s" run_fuzzer "${target}" || true
  done
else
  for target in "${fuzz_targets[@]}"; do
    summary+=("SKIP  ${target} (fuzz build failed)")
  done
fi

echo
echo "==== summary ===="
printf '%s\n' "${summary[@]}"
if ((failed)); then
  echo "RESULT: FAILED"
  exit 1
fi
echo "RESULT: all steps passed"
