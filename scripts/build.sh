#!/usr/bin/env bash
# Configures and builds into build/ (or the directory given): Release, with clang when it is
# there, since it turns the kernel's wide arithmetic into much faster code than GCC 12 does.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
if [ ! -f "$dir/CMakeCache.txt" ]; then
  compilers=()
  if command -v clang++ >/dev/null; then compilers=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang); fi
  generator=()
  if command -v ninja >/dev/null; then generator=(-G Ninja); fi
  cmake -S . -B "$dir" "${generator[@]}" "${compilers[@]}" "$@"
elif [ $# -gt 0 ]; then
  # An existing build directory takes the options given now (a directory configured before an
  # option changed would otherwise keep the old value).
  cmake -S . -B "$dir" "$@"
fi
# TARGETS="a b" builds only those targets (what the test run needs of a sanitizer build).
targets=()
for t in ${TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
