#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test: the whole suite in a Release build and
# again under AddressSanitizer and UndefinedBehaviorSanitizer, the computation-thread tests under
# ThreadSanitizer, and the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== Release build and the whole suite"
bash scripts/build.sh build
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)")

echo "== The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVONTAL_BUILD_GUI=ON \
  -DVONTAL_BUILD_BENCH=OFF -DVONTAL_SANITIZE=address,undefined
# Widget tests included, with leak detection on and nothing suppressed: offscreen, Qt leaves no
# leak of its own behind.
(cd build-asan && QT_QPA_PLATFORM=offscreen UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure --parallel "$(nproc)")

echo "== Thread tests under ThreadSanitizer (whole searches, the scan on several cores, the shared sieve)"
TARGETS="engine_tests search_tests" bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVONTAL_BUILD_GUI=OFF \
  -DVONTAL_BUILD_BENCH=OFF -DVONTAL_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -R '^(Search|ExponentScan|ParallelSieve)\.')

echo "== Fuzzers on the parsers that take outside text (bounded time each)"
if [ ! -f build-fuzz/CMakeCache.txt ]; then
  generator=(); command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S . -B build-fuzz "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVONTAL_BUILD_BENCH=OFF -DVONTAL_BUILD_FUZZERS=ON \
    -DVONTAL_SANITIZE=address,undefined,fuzzer-no-link
fi
fuzzers=(fuzz_settings fuzz_task_text fuzz_protocol fuzz_result_text)
cmake --build build-fuzz --parallel "$(nproc)" --target "${fuzzers[@]}"
seconds=${VONTAL_FUZZ_SECONDS:-15}
for fuzzer in "${fuzzers[@]}"; do
  work=$(mktemp -d)
  # New inputs go to the scratch corpus; the seeds in the repository stay as they are.
  (cd "$work" && QT_QPA_PLATFORM=offscreen "$OLDPWD/build-fuzz/bin/$fuzzer" -max_total_time="$seconds" \
     -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" "$OLDPWD/tests/fuzz/corpus/$fuzzer" \
     > "$work/log" 2>&1) || { cat "$work/log"; echo "$fuzzer found a fault (input saved in $work)"; exit 1; }
  echo "$fuzzer: $(grep -o 'number_of_executed_units: [0-9]*' "$work/log" | grep -o '[0-9]*') inputs, no fault"
  rm -rf "$work"
done
echo "fuzzers: ${#fuzzers[@]} passed, 0 failed"
