#!/usr/bin/env bash
# Configures and builds Tavrel into build/. Arguments: CMake options (-D...) and, after
# them, the targets to build (default: all). For example:
#   scripts/build.sh -DTAVREL_SERVER_LAN=192.0.2.10 tavrel
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVREL_BUILD_DIR:-"$root/build"}
options=()
targets=()
for arg in "$@"; do
    case "$arg" in
    -D*) options+=("$arg") ;;
    *) targets+=(--target "$arg") ;;
    esac
done
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build "$build" --parallel "$(nproc)" "${targets[@]}"
