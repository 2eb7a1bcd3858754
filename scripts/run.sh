#!/usr/bin/env bash
# Sets up, builds, starts a local tavrel-server in the background and opens the chat window
# once the server listens. The server stops when the window closes. Without a display the
# window runs under Xvfb, on a display number that Xvfb finds free.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" tavrel tavrel-server

port=12345
server_pid=""
xvfb_pid=""
scratch=$(mktemp -d)
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$scratch"
    true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Whether process $1 has a listening TCP socket on port $2. Read from /proc, so the server
# sees no probing connection, and a program that holds the port already does not count.
listens() {
    local inode
    for inode in $(awk -v port=":$(printf '%04X' "$2")" \
        '$2 ~ port "$" && $4 == "0A" { print $10 }' /proc/net/tcp /proc/net/tcp6 2>/dev/null); do
        if find "/proc/$1/fd" -lname "socket:\[$inode\]" 2>/dev/null | grep -q .; then
            return 0
        fi
    done
    return 1
}

if [ -x "$root/build/server/tavrel-server" ]; then
    data=${TAVREL_DATA:-"$root/tavrel-data"}
    mkdir -p "$data"
    log="$data/server.log"
    "$root/build/server/tavrel-server" --listen 127.0.0.1 --port "$port" --data "$data" >"$log" 2>&1 &
    server_pid=$!
    # Up to 30 s: a first start creates the database.
    for _ in $(seq 300); do
        if listens "$server_pid" "$port" || ! kill -0 "$server_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if ! listens "$server_pid" "$port"; then
        echo "tavrel-server did not start listening on 127.0.0.1:$port. Its log ($log):" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
    echo "tavrel-server runs on 127.0.0.1:$port (pid $server_pid), its log in $log. Its data and"
    echo "the mails with verification codes are in $data (outbox/)."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    # Xvfb writes the number of the display it found free to the pipe once it takes clients.
    mkfifo "$scratch/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
    xvfb_pid=$!
    number=""
    read -r -t 15 number <"$scratch/display" || true
    if [ -z "$number" ]; then
        echo "Xvfb did not start:" >&2
        tail -n 20 "$scratch/xvfb.log" >&2
        exit 1
    fi
    export DISPLAY=":$number"
    echo "No display found: the window runs on the virtual display $DISPLAY (Xvfb)."
    echo "Stop it with Ctrl+C."
fi

# Received files land in the working directory: keep them out of the source tree.
mkdir -p "$root/received"
cd "$root/received"
echo "Received files go to $root/received."
"$root/build/src/tavrel"
