#!/usr/bin/env bash
# Builds everything and runs every test: the suite, the format check, then the suite again under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer. Sets up the machine first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

jobs=$(nproc)
export VORELIA_SECRET_STORE=file  # the tests never touch the user's keyring unless they ask to
export CTEST_OUTPUT_ON_FAILURE=1

run_suite() {  # name, extra cmake arguments...
  local name=$1; shift
  local dir="$root/build-$name"
  echo "== build ($name)"
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== test ($name)"
  (cd "$dir" && ctest -j "$jobs" --timeout 600)
}

start=$SECONDS
run_suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== format check"
git ls-files '*.h' '*.cpp' '*.h.in' | grep -v '^tools/' | xargs clang-format --dry-run -Werror
echo "format: clean"

run_suite asan -DCMAKE_BUILD_TYPE=Debug -DVORELIA_SANITIZE=address -DVORELIA_BUILD_BENCH=OFF
# Libraries built without the sanitizer hide their own synchronisation; tests/tsan.supp lists them.
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp"
run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORELIA_SANITIZE=thread -DVORELIA_BUILD_BENCH=OFF
echo "== all tests passed in $((SECONDS - start)) s"
