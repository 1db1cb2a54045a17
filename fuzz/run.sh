#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer, leak checks on) and runs each for a bounded time: a crash, a
# leak, a sanitizer report or a broken property fails the run.
#   QUORVEX_FUZZ_SECONDS  seconds per target (default 30)
#   QUORVEX_FUZZ_JOBS     targets run at once (default 2)
#   QUORVEX_FUZZ_BUILD    build folder (default build/fuzz)
# Seeds: each target writes its own small ones; the JSON targets also read
# the JSONTestSuite files in place from tests/vectors. New inputs found
# are kept in build/fuzz/corpus/<target> between runs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${QUORVEX_FUZZ_SECONDS:-30}
jobs=${QUORVEX_FUZZ_JOBS:-2}
build=${QUORVEX_FUZZ_BUILD:-build/fuzz}
targets=(json_field sealed_session base64url stream_pull hybrid_open)
json_vectors=tests/vectors/jsontestsuite/test_parsing

cxx=$(command -v clang++ || true)
if [[ -z "$cxx" ]]; then
  cxx=$(ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V | tail -1)
fi
[[ -n "$cxx" ]] || { echo "fuzz: clang++ not found (scripts/deps.sh --test installs it)" >&2; exit 1; }
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j2 >/dev/null

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:print_stacktrace=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

run_one() {
  local t=$1 seeds="$build/seeds/$1" corpus="$build/corpus/$1" log="$build/logs/$1.log"
  rm -rf "$seeds"
  QUORVEX_FUZZ_SEEDS="$seeds" "$build/fuzz_$t" -runs=0 >/dev/null 2>&1
  mkdir -p "$corpus"
  local dirs=("$corpus" "$seeds")
  if [[ $t == json_field || $t == sealed_session ]]; then
    [[ -d $json_vectors ]] || { echo "fuzz: $json_vectors missing" >&2; return 1; }
    dirs+=("$json_vectors")
  fi
  if "$build/fuzz_$t" -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=4096 \
      -print_final_stats=1 "${dirs[@]}" >"$log" 2>&1; then
    printf 'fuzz %-15s %10s executions in %ss, corpus %s inputs\n' "$t" \
      "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")" "$seconds" "$(ls "$corpus" | wc -l)"
  else
    echo "fuzz $t FAILED; the end of $log:" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
}

mkdir -p "$build/logs"
failed=0 running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  wait -n || failed=1
  running=$((running - 1))
done
exit $failed
