#!/usr/bin/env bash
# Configures and builds Kelvo into build/ (build-asan/ with KELVO_SANITIZE=1); prints the build
# directory on stdout and the progress on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${KELVO_SANITIZE:-0}" = 1 ]; then
    dir=build-asan
    options=(-DCMAKE_BUILD_TYPE=Debug -DKELVO_SANITIZE=ON)
fi
[ "${CI:-}" = true ] && options+=(-DKELVO_WERROR=ON)

cmake -S . -B "$dir" -G Ninja "${options[@]}" >&2
cmake --build "$dir" --parallel "$(nproc)" >&2
echo "$dir"
