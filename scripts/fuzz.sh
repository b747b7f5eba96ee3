#!/usr/bin/env bash
# Build the libFuzzer targets of tests/fuzz and run each for a fixed time.
#   scripts/fuzz.sh                 every target for 15 s (the CI budget)
#   scripts/fuzz.sh 300             every target for 300 s
#   scripts/fuzz.sh 60 fuzz_config  one target for 60 s
# FUZZ_JOBS targets run at once (default 3); the build uses FUZZ_BUILD_JOBS (default: all cores). Each run starts from the seeds in
# tests/fuzz/corpus/<target> and grows its own corpus in build/fuzz/corpus/<target>, which later
# runs reuse; a crash leaves its input in build/fuzz/artifacts and fails the script. The last
# line of every target's summary gives its executions and coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
shift || true
jobs=${FUZZ_JOBS:-3}
dir=build/fuzz

scripts/install-deps.sh fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DZEL_FUZZ=ON >/dev/null
cmake --build "$dir" -j "${FUZZ_BUILD_JOBS:-$(nproc 2>/dev/null || echo 4)}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

mkdir -p "$dir/logs" "$dir/artifacts" "$dir/tmp"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The targets that read files write them here.
export TMPDIR="$PWD/$dir/tmp"

run_one() {
  local t=$1
  mkdir -p "$dir/corpus/$t"
  # -timeout: one input may take 10 s at most; -max_len: lines and files of a few kilobytes
  # reach every branch, and the line limits are tested by the unit tests.
  "$dir/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" \
    "$dir/corpus/$t" "tests/fuzz/corpus/$t" >"$dir/logs/$t.log" 2>&1
}

failed=()
pids=()
names=()
for t in "${targets[@]}"; do
  if [ ! -x "$dir/tests/fuzz/$t" ]; then
    echo "no fuzz target $t" >&2
    exit 1
  fi
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  # Keep at most $jobs targets running.
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
done
for i in "${!pids[@]}"; do
  if ! wait "${pids[$i]}"; then failed+=("${names[$i]}"); fi
done

for t in "${targets[@]}"; do
  log="$dir/logs/$t.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corp=$(find "$dir/corpus/$t" -type f | wc -l)
  printf '%-24s executions %10s  coverage %6s  features %6s  corpus %5s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$corp"
done
if [ ${#failed[@]} -gt 0 ]; then
  for t in "${failed[@]}"; do
    echo "== $t failed; its log:" >&2
    grep -B2 -A30 -m1 -E '==ERROR|check failed|deadly signal|timeout|out-of-memory' "$dir/logs/$t.log" >&2 || tail -40 "$dir/logs/$t.log" >&2
  done
  exit 1
fi
