#!/usr/bin/env bash
# Build and run the tests. Installs the Debian packages that are missing.
#   scripts/test.sh          plain build, every test
#   scripts/test.sh asan     AddressSanitizer + UndefinedBehaviorSanitizer build, every test
#   scripts/test.sh tsan     ThreadSanitizer build, the tests labelled "tsan"
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}

"$(dirname "$0")/install-deps.sh"

case "$kind" in
  plain) dir=build/plain; sanitize=""; label="" ;;
  asan)  dir=build/asan;  sanitize=address; label="" ;;
  tsan)  dir=build/tsan;  sanitize=thread; label="-L tsan" ;;
  *) echo "usage: $0 [plain|asan|tsan]"; exit 1 ;;
esac

jobs=$(nproc 2>/dev/null || echo 4)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# shellcheck disable=SC2086
ctest --test-dir "$dir" --output-on-failure -j "$jobs" $label
