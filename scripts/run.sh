#!/usr/bin/env bash
# Installs what is missing, builds, and starts Kelvo with the given switches.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=$(scripts/build.sh | tail -n 1)
exec "$dir/bin/kelvo" "$@"
