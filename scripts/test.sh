#!/usr/bin/env bash
# Build and run the tests. Installs the Debian packages that are missing.
#   scripts/test.sh          plain build, every test
#   scripts/test.sh asan     AddressSanitizer + UndefinedBehaviorSanitizer build, every test
#   scripts/test.sh tsan     ThreadSanitizer build, the tests labelled "tsan"
#   scripts/test.sh clang    clang build with -Wthread-safety -Werror=thread-safety, every test
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}

compiler=()
case "$kind" in
  plain) dir=build/plain; sanitize=""; label="" ;;
  asan)  dir=build/asan;  sanitize=address; label="" ;;
  tsan)  dir=build/tsan;  sanitize=thread; label="-L tsan" ;;
  clang) dir=build/clang; sanitize=""; label=""
         compiler=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 [plain|asan|tsan|clang]"; exit 1 ;;
esac

if [ "$kind" = clang ]; then
  scripts/install-deps.sh clang
  # The analysis must be live: an unguarded write to a guarded member has to fail the compile.
  probe='#include "foundation/dmq_thread.hpp"
struct Probe { zel::TCriticalSection m; int v ZEL_GUARDED_BY(m) = 0; void f() { v = 1; } };'
  if printf '%s\n' "$probe" | clang++ -std=c++20 -I. -fsyntax-only -Wthread-safety -Werror=thread-safety \
       -x c++ - 2>/dev/null; then
    echo "thread-safety analysis did not catch an unguarded write" >&2
    exit 1
  fi
else
  scripts/install-deps.sh
fi

jobs=$(nproc 2>/dev/null || echo 4)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE="$sanitize" "${compiler[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# shellcheck disable=SC2086
ctest --test-dir "$dir" --output-on-failure -j "$jobs" $label
