#!/usr/bin/env bash
# Starts tavrel-server on loopback with fresh data folders, runs bench-server-load against
# it and stops everything again. With SHARED=1 the servers keep their state in a private
# PostgreSQL cluster and talk over a private Redis, both started here too.
#
#   bench/run-server-load.sh [build-dir] [-- extra bench-server-load options]
#
# Environment:
#   PORT         port of the first instance; the others follow it (default 23456; never
#                12345, which the tests and a local server use)
#   INSTANCES    server instances (default 1); more than one needs SHARED=1
#   SHARED       1: PostgreSQL (--database) and Redis (--bus) on PORT+100 and PORT+101
#   SCENARIOS    runs, default "100,200,200+20" (clients[+logins per second])
#   LOGINS       instead of chat: this many users register, then log in and out again and
#                again; logins per second are reported (PER_ADDRESS users per address)
#   PER_ADDRESS  clients per loopback source address (default 4, within the server's
#                limit on connections from one address that have not logged in yet, since
#                they all connect at once); 0 puts every client on 127.0.0.1
#   SERVER_OPTS  extra tavrel-server options
#   SERVER       the tavrel-server binary (default <build-dir>/server/tavrel-server)
#   TLS          1: every connection over TLS, on a certificate made here (P-256, as certbot
#                makes by default), and the handshake timed
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
instances="${INSTANCES:-1}"
shared="${SHARED:-0}"
if [ "$port" -le 12345 ] && [ $((port + instances)) -gt 12345 ]; then
    echo "use ports that leave out 12345" >&2
    exit 2
fi
if [ "$instances" -gt 1 ] && [ "$shared" != 1 ]; then
    echo "several instances need SHARED=1 (PostgreSQL and Redis)" >&2
    exit 2
fi
server="${SERVER:-$build/server/tavrel-server}"
bench="$build/bench/bench-server-load"
for exe in "$server" "$bench"; do
    [ -x "$exe" ] || { echo "missing $exe (build it first)" >&2; exit 2; }
done
output="${OUTPUT:-$build/bench-server-load.txt}"

work="$(mktemp -d "${TMPDIR:-/tmp}/tavrel-load.XXXXXX")"
pids=()
postmaster=""
redis_pid=""
stop_all() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.2
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    # Fast shutdown straight to the postmaster: runuser stands between it and this shell.
    [ -n "$postmaster" ] && kill -INT "$postmaster" 2>/dev/null || true
    [ -n "$redis_pid" ] && kill -TERM "$redis_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap stop_all EXIT

wait_for_port() { # port, pid, what
    for _ in $(seq 300); do
        if ss -Hltn "sport = :$1" 2>/dev/null | grep -q .; then
            return 0
        fi
        kill -0 "$2" 2>/dev/null || break
        sleep 0.1
    done
    echo "$3 did not start listening on 127.0.0.1:$1" >&2
    return 1
}

shared_opts=()
cpu=()
notes=()
bench_opts=()
tls_opts=()
if [ "${TLS:-0}" = 1 ]; then
    "$here/../tests/kit/tlscerts.sh" authority "$work/tls-ca" && "$here/../tests/kit/tlscerts.sh" server "$work/tls" "$work/tls-ca"
    tls_opts=(--tls-cert "$work/tls/server.pem" --tls-key "$work/tls/server.key")
    bench_opts+=(--tls)
    notes+=(--note "TLS: $(openssl version | cut -d' ' -f1-2), P-256 certificate, $(nproc) cores")
fi
if [ "$shared" = 1 ]; then
    pg_bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
    as_owner=()
    if [ "$(id -u)" -eq 0 ]; then
        as_owner=(runuser -u postgres --)
        chown postgres: "$work"
    fi
    pg_port=$((port + 100))
    redis_port=$((port + 101))
    password="loopback-only bench password"
    printf '%s\n' "$password" >"$work/password"
    chmod 600 "$work/password"
    cp "$work/password" "$work/pgpass-init"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$work/pgpass-init"
    "${as_owner[@]}" "$pg_bin/initdb" -D "$work/pg" -U tavrel --pwfile="$work/pgpass-init" \
        --auth-host=scram-sha-256 --auth-local=trust -E UTF8 --locale=C >"$work/initdb.log"
    # Stock settings: the durability an operator would run with.
    "${as_owner[@]}" "$pg_bin/postgres" -D "$work/pg" -p "$pg_port" -k "$work" \
        -c listen_addresses=127.0.0.1 2>"$work/postgres.log" &
    pg_wrapper=$!
    wait_for_port "$pg_port" "$pg_wrapper" postgres
    postmaster="$(head -n 1 "$work/pg/postmaster.pid")"
    "${as_owner[@]}" "$pg_bin/psql" -h "$work" -p "$pg_port" -U tavrel -d postgres -qc "CREATE DATABASE tavrel"
    redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" \
        --daemonize no >"$work/redis.log" 2>&1 &
    redis_pid=$!
    wait_for_port "$redis_port" "$redis_pid" redis-server
    # The instances seal what they put on the bus with a key they share.
    head -c 32 /dev/urandom | base64 >"$work/bus-key"
    chmod 600 "$work/bus-key"
    shared_opts=(--database "postgresql://tavrel@127.0.0.1:$pg_port/tavrel"
        --database-password-file "$work/password" --bus "redis://127.0.0.1:$redis_port"
        --bus-key-file "$work/bus-key")
    cpu+=(--cpu "postgres=$postmaster" --cpu "redis=$redis_pid")
    notes+=(--note "$("$pg_bin/postgres" --version), $(redis-server --version | cut -d' ' -f1-3), both stock settings on loopback")
fi

ports=()
dirs=()
for i in $(seq 0 $((instances - 1))); do
    p=$((port + i))
    d="$work/data$i"
    mkdir -p "$d"
    # shellcheck disable=SC2086
    "$server" --listen 127.0.0.1 --port "$p" --data "$d" "${shared_opts[@]}" "${tls_opts[@]}" ${SERVER_OPTS:-} 2>"$work/server$i.log" &
    pids+=($!)
    wait_for_port "$p" "$!" "tavrel-server $i" || { cat "$work/server$i.log" >&2; exit 1; }
    ports+=("$p")
    dirs+=("$d")
    cpu+=(--cpu "server-$((i + 1))=$!")
done

setup="$instances instance(s), $([ "$shared" = 1 ] && echo "PostgreSQL + Redis" || echo "SQLite")"
echo "$setup: server pids ${pids[*]} on ports ${ports[*]}; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
"$bench" --host 127.0.0.1 --port "$(IFS=,; echo "${ports[*]}")" --data "$(IFS=,; echo "${dirs[*]}")" "${cpu[@]}" \
    ${LOGINS:+--logins "$LOGINS"} --scenarios "${SCENARIOS:-100,200,200+20}" --per-address "${PER_ADDRESS:-4}" --output "$output" \
    --note "setup: $setup" "${notes[@]}" \
    --note "server: tavrel-server --listen 127.0.0.1 --port <port> --data <fresh folder> ${shared_opts[*]:+--database ... --bus ...} ${tls_opts[*]:+--tls-cert ... --tls-key ...} ${SERVER_OPTS:-}" \
    --note "load average before: $(cut -d' ' -f1-3 /proc/loadavg)" "${bench_opts[@]}" "$@" || status=$?
echo "report written to $output"
exit $status
