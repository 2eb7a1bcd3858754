#!/usr/bin/env bash
# Sets up, builds and runs every test. Ends with CTest's summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure --parallel "$(nproc)"
