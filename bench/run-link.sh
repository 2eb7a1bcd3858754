#!/usr/bin/env bash
# Files and chat through a hop that ends TCP in front of a slow link: the window asks the
# server for files one after another while another user chats, and bench-link counts what
# arrived whole. Each link runs through the link emulator taking 32 and 64 KiB ahead of the
# link, and through Debian's haproxy (TCP mode) in front of the same link without read-ahead,
# with its stock buffers and with 16 KiB socket buffers on both sides. The stalls are the
# point: check the report's stall counts, and try several seeds.
#
#   bench/run-link.sh [build-dir]
#
# Environment:
#   LINKS    links, comma-separated (default: 1, 2 and 10 Mbit/s with 300 to 400 ms stalls,
#            a chance of 3% per 16 KiB: 5 to 7 stalls in 12 files)
#   AHEAD    read-aheads of the emulator in KiB, comma-separated (default 32,64)
#   FILES    files per link (default 12)
#   SEED     seed of sizes, contents and stalls (default: a fresh one)
#   OUTPUT   report file prefix (default <build-dir>/bench-link), then .ahead.txt,
#            .haproxy-stock.txt and .haproxy-small-buffers.txt
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
"$here/../scripts/setup.sh" haproxy
build="$(cd "${1:-$here/../build}" && pwd)"
bench="$build/bench/bench-link"
[ -x "$bench" ] || { echo "missing $bench (build it first)" >&2; exit 2; }

links="${LINKS:-1000k/50ms/3%x300ms,2000k/100ms/3%x400ms,10000k/30ms/3%x400ms}"
files="${FILES:-12}"
seed="${SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}"
output="${OUTPUT:-$build/bench-link}"
ahead=""
IFS=, read -ra aheads <<<"${AHEAD:-32,64}"
for kib in "${aheads[@]}"; do
    ahead="$ahead${ahead:+,}$(echo "$links" | sed "s#\\(,\\|\$\\)#/ahead${kib}k\\1#g")"
done

status=0
"$bench" --links "$ahead" --files "$files" --uploads 0 --seed "$seed" --output "$output.ahead.txt" || status=1
for buffers in stock small-buffers; do
    "$bench" --links "$links" --files "$files" --uploads 0 --seed "$seed" --haproxy "$buffers" \
        --output "$output.haproxy-$buffers.txt" || status=1
done
exit "$status"
