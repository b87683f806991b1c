#!/usr/bin/env bash
# The whole test command: the formatting of every C++ file, unit tests in a
# release build, the Debian packages built from it and tried out, the same
# tests under AddressSanitizer + UndefinedBehaviorSanitizer, then every fuzz
# target for a fixed time over a scratch copy of its seed corpus. Exits non-zero when any step fails; prints
# a summary of all steps at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
# On a fresh machine the packages come first (as root); afterwards this is a no-op.
bash scripts/install-deps.sh --if-missing

jobs=2
fuzz_targets=(fuzz_handle_message fuzz_decode_name fuzz_cache_learn_reply fuzz_control_message
  fuzz_zone_file fuzz_cache_dump fuzz_hosts_file fuzz_settings_store fuzz_zone_transfer)
# Five minutes of fuzzing in all, shared evenly, unless NORVANE_FUZZ_SECONDS
# sets the time of each target.
fuzz_seconds="${NORVANE_FUZZ_SECONDS:-$((300 / ${#fuzz_targets[@]}))}"

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
  local folder
  for folder in engine runtime service; do
    [[ -f "${folder}/${target}.cc" ]] && break
  done
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

# Every tracked C++ file must be as clang-format leaves it. The version is
# pinned to the major release whose output the tree follows: another release
# formats some constructs differently and would fail on untouched files.
clang_format_major=14
format_check() {
  local tool=clang-format-${clang_format_major}
  command -v "${tool}" >/dev/null || tool=clang-format
  local version
  version="$("${tool}" --version)" || return 1
  echo "${version}"
  if [[ "${version}" != *"version ${clang_format_major}."* ]]; then
    echo "clang-format ${clang_format_major} is needed, found: ${version}"
    return 1
  fi
  git ls-files -z -- '*.cc' '*.h' | xargs -0 "${tool}" --dry-run --Werror
}

fuzz_build() {
  CC=clang CXX=clang++ cmake --preset fuzz && cmake --build --preset fuzz -j"${jobs}"
}

step "clang-format check" format_check || true

step "default build + ctest" build_and_test default || true

# The Debian packages from that build, installed, used and purged on this
# machine: needs root (as CI has), so an ordinary user's run skips it.
if [[ "$(id -u)" == 0 ]]; then
  step "packages: lintian, install, run, purge" bash tests/packaging/package_test.sh || true
else
  summary+=("SKIP  packages (needs root)")
fi

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
