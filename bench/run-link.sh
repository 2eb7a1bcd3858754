#!/usr/bin/env bash
# Files and chat through a hop that ends TCP in front of a slow link: the window asks the
# server for files one after another while another user chats, and bench-link counts what
# arrived whole. Each link runs three times: through the link emulator taking 64 KiB ahead
# of the link, and through Debian's haproxy (TCP mode) in front of the same link without
# read-ahead, with its stock buffers and with 16 KiB socket buffers on both sides.
#
#   bench/run-link.sh [build-dir]
#
# Environment:
#   LINKS    links, comma-separated (default: 1 and 10 Mbit/s with 300 and 400 ms stalls)
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

links="${LINKS:-1000k/50ms/1%x300ms,10000k/30ms/1%x400ms}"
files="${FILES:-12}"
seed="${SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}"
output="${OUTPUT:-$build/bench-link}"
ahead="$(echo "$links" | sed 's#\(,\|$\)#/ahead64k\1#g')"

status=0
"$bench" --links "$ahead" --files "$files" --uploads 0 --seed "$seed" --output "$output.ahead.txt" || status=1
for buffers in stock small-buffers; do
    "$bench" --links "$links" --files "$files" --uploads 0 --seed "$seed" --haproxy "$buffers" \
        --output "$output.haproxy-$buffers.txt" || status=1
done
exit "$status"
