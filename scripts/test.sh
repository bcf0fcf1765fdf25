#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (KELVO_SANITIZE=1: under ASan and UBSan).
set -euo pipefail
cd "$(dirname "$0")/.."
# The copy engine's tests mount btrfs, XFS and FUSE file systems where the machine lets them.
scripts/install-deps.sh btrfs-progs xfsprogs bindfs
dir=$(scripts/build.sh | tail -n 1)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$(pwd)/tests/lsan.supp}
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)"
