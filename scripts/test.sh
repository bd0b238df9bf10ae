#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test: the whole suite in a Release build,
# the logic tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# computation-thread tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== Release build and the whole suite"
bash scripts/build.sh build
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)")

echo "== Logic tests under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVONTAL_BUILD_GUI=OFF \
  -DVONTAL_BUILD_BENCH=OFF -DVONTAL_SANITIZE=address,undefined
(cd build-asan && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure --parallel "$(nproc)")

echo "== Thread tests under ThreadSanitizer"
bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVONTAL_BUILD_GUI=OFF \
  -DVONTAL_BUILD_BENCH=OFF -DVONTAL_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -R '^Search\.')
