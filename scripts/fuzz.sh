#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# into build-fuzz/ and runs each for the given number of seconds (default 60), starting
# from its seed corpus in tests/fuzz/corpus/<name>/. New inputs that libFuzzer finds stay in
# build-fuzz/corpus/<name>/; a crash leaves its reproducer in build-fuzz/findings/. Copy a
# reproducer into the seed corpus once its fault is fixed, so every build replays it.
# TAVREL_FUZZ_RUNS=N also stops each target after N inputs; 0 seconds means no time limit.
#
#   scripts/fuzz.sh [seconds] [target...]
#   TAVREL_FUZZ_RUNS=1000000 scripts/fuzz.sh 0 [target...]   # a million inputs each
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build=${TAVREL_FUZZ_BUILD_DIR:-"$root/build-fuzz"}

"$root/scripts/setup.sh" clang libclang-rt-14-dev

sanitizers="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="$sanitizers" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DTAVREL_FUZZ=ON -DTAVREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for binary in "$build"/tests/fuzz/fuzz-*; do
        [ -f "$binary" ] && [ -x "$binary" ] && targets+=("${binary##*/fuzz-}")
    done
fi

limit=(-max_total_time="$seconds")
if [ -n "${TAVREL_FUZZ_RUNS:-}" ]; then
    limit+=(-runs="$TAVREL_FUZZ_RUNS")
fi

mkdir -p "$build/findings"
status=0
for name in "${targets[@]}"; do
    corpus="$build/corpus/$name"
    mkdir -p "$corpus"
    echo "== $name: ${limit[*]}"
    log="$build/findings/$name.log"
    if QT_LOGGING_RULES='*.debug=false' "$build/tests/fuzz/fuzz-$name" "${limit[@]}" \
        -artifact_prefix="$build/findings/$name-" -print_final_stats=1 \
        "$corpus" "$root/tests/fuzz/corpus/$name" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^Done' "$log" || tail -n 3 "$log"
    else
        echo "$name FAILED: see $log"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -n 5
        status=1
    fi
done
exit $status
