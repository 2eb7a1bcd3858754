#!/usr/bin/env bash
# Starts tavrel-server on loopback with a fresh data folder, runs bench-server-load against
# it and stops the server again.
#
#   bench/run-server-load.sh [build-dir] [-- extra bench-server-load options]
#
# Environment:
#   PORT         server port (default 23456; never 12345, which the tests and a local server use)
#   SCENARIOS    runs, default "100,200,200+20" (clients[+logins per second])
#   PER_ADDRESS  clients per loopback source address (default 8, under the server's
#                per-address connection limit); 0 puts every client on 127.0.0.1
#   SERVER_OPTS  extra tavrel-server options
#   OUTPUT       report file (default <build-dir>/bench-server-load.txt)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$here/../build"
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
    build="$1"
    shift
fi
if [ "${1:-}" = "--" ]; then
    shift
fi
build="$(cd "$build" && pwd)"

port="${PORT:-23456}"
if [ "$port" = 12345 ]; then
    echo "use another port than 12345" >&2
    exit 2
fi
server="$build/server/tavrel-server"
bench="$build/bench/bench-server-load"
for exe in "$server" "$bench"; do
    [ -x "$exe" ] || { echo "missing $exe (build it first)" >&2; exit 2; }
done
output="${OUTPUT:-$build/bench-server-load.txt}"

data="$(mktemp -d "${TMPDIR:-/tmp}/tavrel-load.XXXXXX")"
server_pid=""
stop_server() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid"
        for _ in $(seq 50); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.2
        done
        kill -0 "$server_pid" 2>/dev/null && kill -KILL "$server_pid"
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$data"
}
trap stop_server EXIT

# shellcheck disable=SC2086
"$server" --listen 127.0.0.1 --port "$port" --data "$data" ${SERVER_OPTS:-} 2>"$data.log" &
server_pid=$!

listening=no
for _ in $(seq 100); do
    if ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then
        listening=yes
        break
    fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
if [ "$listening" != yes ]; then
    echo "tavrel-server did not start listening on 127.0.0.1:$port" >&2
    cat "$data.log" >&2 || true
    exit 1
fi

echo "server pid $server_pid on 127.0.0.1:$port, data $data; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
"$bench" --host 127.0.0.1 --port "$port" --data "$data" --server-pid "$server_pid" \
    --scenarios "${SCENARIOS:-100,200,200+20}" --per-address "${PER_ADDRESS:-8}" --output "$output" \
    --note "server: tavrel-server --listen 127.0.0.1 --port $port --data <fresh folder> ${SERVER_OPTS:-}" \
    --note "load average before: $(cut -d' ' -f1-3 /proc/loadavg)" "$@" || status=$?
echo "report written to $output; server log: $data.log"
exit $status
