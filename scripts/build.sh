#!/usr/bin/env bash
# Configures and builds Tavrel into the folder given (default: build). Extra arguments go to
# CMake, for example -DTAVREL_SERVER_LAN=192.0.2.10.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
shift || true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
