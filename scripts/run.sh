#!/usr/bin/env bash
# Sets up, builds, starts a local tavrel-server in the background and opens the chat window.
# The server stops when the window closes. Without a display the window runs under Xvfb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" tavrel tavrel-server

server_pid=""
xvfb_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    true
}
trap cleanup EXIT INT TERM

if [ -x "$root/build/server/tavrel-server" ]; then
    data=${TAVREL_DATA:-"$root/tavrel-data"}
    "$root/build/server/tavrel-server" --listen 127.0.0.1 --port 12345 --data "$data" &
    server_pid=$!
    echo "tavrel-server runs on 127.0.0.1:12345 (pid $server_pid); its data and the mails with"
    echo "verification codes are in $data (outbox/)."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    display=":${TAVREL_XVFB_DISPLAY:-97}"
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    sleep 1
    export DISPLAY=$display
    echo "No display found: the window runs on the virtual display $display (Xvfb)."
    echo "Stop it with Ctrl+C."
fi

# Received files land in the working directory: keep them out of the source tree.
mkdir -p "$root/received"
cd "$root/received"
echo "Received files go to $root/received."
"$root/build/src/tavrel"
