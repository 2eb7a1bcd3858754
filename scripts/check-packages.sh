#!/usr/bin/env bash
# Checks the Debian packages scripts/package.sh built: their dependencies and files, the
# systemd unit (systemd-analyze verify), the sample config (the server accepts it), the
# manual page and the menu entry. With --install, also installs both into a fresh Debian 12
# root made by debootstrap, with apt, and runs the server there.
#
#   scripts/check-packages.sh [--install] tavrel_*.deb tavrel-server_*.deb
set -uo pipefail
install=no
if [ "${1:-}" = --install ]; then
    install=yes
    shift
fi
client=$(realpath "$1")
server=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
# check DESCRIPTION COMMAND...: the command's success is the check's.
check() {
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        passed=$((passed + 1))
        echo "ok - $what"
    else
        failed=$((failed + 1))
        echo "not ok - $what"
        sed 's/^/    /' "$work/out" | head -n 20
    fi
}
# silent COMMAND...: succeeds when the command succeeds and prints nothing.
silent() {
    local output
    output=$("$@" 2>&1) || { echo "$output"; return 1; }
    [ -z "$output" ] || { echo "$output"; return 1; }
}
has_fields() { # deb field words...
    local value
    value=$(dpkg-deb -f "$1" "$2") || return 1
    shift 2
    for word in "$@"; do
        grep -qE "(^|[ ,])$word( |,|$)" <<<"$value" || { echo "missing $word in: $value"; return 1; }
    done
}
has_files() { # deb paths...
    local deb=$1
    shift
    dpkg-deb --contents "$deb" | awk '{print $6}' >"$work/contents"
    for path in "$@"; do
        grep -qx "./$path" "$work/contents" || { echo "missing $path"; return 1; }
    done
}

echo "== tavrel-server ($(du -h "$server" | cut -f1))"
check "dependencies found by dpkg-shlibdeps, and the SQLite plugin" has_fields "$server" Depends \
    libqt6core6 libqt6network6 libqt6sql6 libqt6sql6-sqlite libqt6httpserver6 libcurl4 libsodium23 libssl3
check "program, unit, sample config and manual page" has_files "$server" usr/bin/tavrel-server \
    usr/lib/systemd/system/tavrel-server.service etc/tavrel/server.conf usr/share/man/man1/tavrel-server.1.gz
dpkg-deb -x "$server" "$work/root"
dpkg-deb -e "$server" "$work/control"
check "the sample config is a conffile" grep -qx /etc/tavrel/server.conf "$work/control/conffiles"
check "maintainer scripts are executable shell" bash -c 'for s in postinst prerm postrm; do
    [ -x "$0/$s" ] && sh -n "$0/$s" || exit 1; done' "$work/control"
unit="$work/root/usr/lib/systemd/system/tavrel-server.service"
check "the unit's user, folders, hardening and restarts" bash -c 'for line in DynamicUser=yes \
    StateDirectory=tavrel ConfigurationDirectory=tavrel ProtectSystem=strict ProtectHome=yes \
    NoNewPrivileges=yes PrivateTmp=yes "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX" \
    Restart=on-failure "ExecStart=/usr/bin/tavrel-server --data \${STATE_DIRECTORY}"; do
    grep -qxF "$line" "$0" || { echo "missing: $line"; exit 1; }; done' "$unit"
# The unit needs the targets it refers to and the commands it runs: the host's targets and
# /bin/sh (essential on every Debian system) stand in for a full system. Nothing else is
# copied, so a command from a package the server does not depend on is found missing.
mkdir -p "$work/root/usr/lib/systemd/system" "$work/root/bin"
cp -rn /lib/systemd/system/. "$work/root/usr/lib/systemd/system/"
cp /bin/sh "$work/root/bin/sh"
check "systemd-analyze verify finds nothing to say" silent env MANPATH="$work/root/usr/share/man" \
    systemd-analyze verify --root="$work/root" /usr/lib/systemd/system/tavrel-server.service
conf="$work/root/etc/tavrel/server.conf"
check "the server accepts the sample config" "$work/root/usr/bin/tavrel-server" --config "$conf" --check-config
check "every key the sample names is the server's" bash -c 'grep -E "^#[a-z-]+ = " "$1" | while read -r line; do
    printf "%s\n" "${line#\#}" >"$2/one.conf"
    if "$0" --config "$2/one.conf" --check-config 2>&1 | grep -q "unknown key"; then echo "$line"; exit 1; fi
    done' "$work/root/usr/bin/tavrel-server" "$conf" "$work"
check "the manual page renders and lists the options" bash -c \
    'out=$(MANWIDTH=80 man --warnings -l "$0" 2>&1 >/dev/null) && [ -z "$out" ] || { echo "$out"; exit 1; }
     zcat "$0" | grep -q "mail\\\\-password\\\\-file" && zcat "$0" | grep -q "/etc/tavrel/server.conf"' \
    "$work/root/usr/share/man/man1/tavrel-server.1.gz"

echo "== tavrel ($(du -h "$client" | cut -f1))"
check "dependencies found by dpkg-shlibdeps, and the MIME database" has_fields "$client" Depends \
    libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 shared-mime-info
check "program, menu entry and icon" has_files "$client" usr/bin/tavrel usr/share/applications/tavrel.desktop \
    usr/share/icons/hicolor/scalable/apps/tavrel.svg
dpkg-deb -x "$client" "$work/client"
check "the menu entry is valid" silent desktop-file-validate "$work/client/usr/share/applications/tavrel.desktop"
check "the icon is an SVG image" bash -c 'file -b "$0" | grep -q "SVG"' \
    "$work/client/usr/share/icons/hicolor/scalable/apps/tavrel.svg"

if [ "$install" = yes ]; then
    echo "== apt install into a fresh Debian 12"
    target="$work/debian"
    start=$(date +%s)
    check "debootstrap bookworm" debootstrap --variant=minbase bookworm "$target" http://deb.debian.org/debian
    cp "$client" "$server" "$target/tmp/"
    check "apt install ./tavrel_*.deb ./tavrel-server_*.deb" chroot "$target" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "/tmp/${client##*/}" "/tmp/${server##*/}"
    check "the installed server reads /etc/tavrel/server.conf and accepts it" bash -c \
        'chroot "$0" tavrel-server --check-config 2>&1 | tee /dev/stderr | grep -q "configuration read from /etc/tavrel/server.conf"' "$target"
    check "every library of both programs is there" bash -c \
        '! chroot "$0" ldd /usr/bin/tavrel /usr/bin/tavrel-server | grep "not found"' "$target"
    check "the installed server starts, serves metrics and stops" bash -c '
        chroot "$0" tavrel-server --port 0 --data /tmp/data --metrics 127.0.0.1:0 2>"$0/tmp/log" & pid=$!
        for _ in $(seq 50); do grep -q "listening on" "$0/tmp/log" && break; sleep 0.2; done
        port=$(grep -o "metrics on 127.0.0.1 [0-9]*" "$0/tmp/log" | cut -d" " -f4)
        curl -sf "http://127.0.0.1:$port/metrics" | grep -q "^tavrel_connections 0$"; ok=$?
        kill "$pid"; wait "$pid"; cat "$0/tmp/log"; exit $ok' "$target"
    # The unit's reload command, run as systemd runs it ($$ is a literal $, MAINPID set), in the
    # fresh root, which has no /bin/kill.
    check "the unit's reload command reaches the server" bash -c '
        reload=$(sed -n "s/^ExecReload=//p" "$0/usr/lib/systemd/system/tavrel-server.service")
        reload=${reload//\$\$/\$}
        chroot "$0" tavrel-server --port 0 --data /tmp/data2 2>"$0/tmp/log2" & pid=$!
        for _ in $(seq 50); do grep -q "listening on" "$0/tmp/log2" && break; sleep 0.2; done
        root=$0; eval "set -- $reload"
        chroot "$root" env MAINPID="$pid" "$@"
        for _ in $(seq 25); do grep -q "SIGHUP" "$root/tmp/log2" && break; sleep 0.2; done
        grep -q "SIGHUP: no TLS certificate to read again" "$root/tmp/log2"; ok=$?
        kill "$pid"; wait "$pid"; cat "$root/tmp/log2"; exit $ok' "$target"
    echo "   (install check: $(($(date +%s) - start)) s)"
fi

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
