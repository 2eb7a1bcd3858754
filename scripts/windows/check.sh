#!/usr/bin/env bash
# Checks the Windows build under Wine, on a virtual X display, in a fresh Wine prefix: the
# Windows-only tests of tests/windows (tavrel.exe started from its own folder and from
# another, tavrel.msi installed, started from its shortcut and removed), then a whole
# session of the window against a real tavrel-server on 127.0.0.1:12345 (log in, chat,
# send and receive files, an image, open the folder in Explorer), and one of the window
# built for TLS (Schannel) against the same server, which serves TLS beside plain on a
# certificate made here. Leaves build-windows/check/screenshot.png and the test logs
# beside it.
#
# --skip-without-qt: exit 77 (skipped, for CTest) with a line saying why when
# build-qt.sh has not filled its cache. TAVREL_SERVER_BINARY names a built tavrel-server;
# without it the server is built into build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/windows/common.sh
source "$root/scripts/windows/common.sh"

if [ ! -f "$win_qt/tavrel-build-complete" ]; then
    if [ "${1:-}" = --skip-without-qt ]; then
        echo "Skipped: no Qt for Windows in $win_qt; scripts/windows/build-qt.sh makes it (about 22 minutes)"
        exit 77
    fi
    echo "No Qt for Windows in $win_qt: run scripts/windows/build-qt.sh first" >&2
    exit 1
fi

started=$(date +%s)
"$root/scripts/setup.sh" wine wine64 xvfb xauth fonts-wqy-microhei
"$root/scripts/windows/build.sh" tst_windows tst_windowstls
server=${TAVREL_SERVER_BINARY:-}
if [ -z "$server" ]; then
    "$root/scripts/build.sh" tavrel-server
    server="${TAVREL_BUILD_DIR:-"$root/build"}/server/tavrel-server"
fi
built=$(date +%s)

check="$win_build/check"
rm -rf "$check"
mkdir -p "$check/data/files"

pids=()
# Wine links the profile's Documents to the home folder: a home of the check's own keeps
# what the window and the installer make there (Documents\Tavrel) out of the real one.
mkdir -p "$check/home"
export HOME="$check/home"
export WINEPREFIX="$check/prefix" WINEARCH=win64 WINEDEBUG=-all
# No prompt to install Mono or Gecko: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
    fi
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# A display of our own; -displayfd picks a free number.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$check/display" 2>"$check/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$check/display" ] && break
    sleep 0.1
done
export DISPLAY=":$(cat "$check/display")"

# Every window in one virtual desktop, so that Wine draws frames without a window manager.
# The usual Windows UI fonts are absent; they are mapped to the CJK font the set-up installs,
# as a Chinese Windows would have them, instead of changing the fonts the window asks for.
wineboot --init >/dev/null 2>&1
wineserver -w
ui_font="WenQuanYi Micro Hei"
{
    printf 'REGEDIT4\n\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"Desktop"="Default"\n\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n"Default"="1280x800"\n\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\n'
    for family in "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI" "Microsoft YaHei" "Microsoft YaHei UI" \
        "SimSun" "NSimSun" "SimHei" "MS Sans Serif" "Microsoft Sans Serif" "Arial" "Times New Roman"; do
        printf '"%s"="%s"\n' "$family" "$ui_font"
    done
} >"$check/setup.reg"
wine regedit /S "$(winepath -w "$check/setup.reg")" 2>/dev/null
wineserver -w
prefixed=$(date +%s)

# What the server has for the window to ask for: an image.
cp "$root/tests/windows/data/tavrel.png" "$check/data/files/"
# Signed by the test authority the TLS window was built with, and served with it: Wine's
# Schannel finds an authority the window has compiled in only when the server sends it too.
authority="$win_build/tests/kit/tls-authority"
"$root/tests/kit/tlscerts.sh" server "$check/tls" "$authority"
cat "$check/tls/server.pem" "$authority/ca.pem" >"$check/tls/chain.pem"

# The tests run from a copy of the runnable folder, so that they load its DLLs and plugins
# as tavrel.exe does, with QtTest and the stand-in explorer.exe beside them.
run="$check/run"
cp -r "$win_dist" "$run"
cp "$win_build/tests/windows/tst_windows.exe" "$win_build/tests/windows/tst_windowstls.exe" \
    "$win_qt/bin/Qt6Test.dll" "$run/"
cp -r "$win_build/tests/windows/explorer-stub" "$run/"
winenv=(
    TAVREL_CHECK_SERVER_DATA="$(winepath -w "$check/data")"
    TAVREL_CHECK_SCREENSHOT="$(winepath -w "$check/screenshot.png")"
    TAVREL_CHECK_TLS_PIN="$(cat "$check/tls/server.pin")"
    TAVREL_CHECK_MSI="$(winepath -w "$win_msi")"
)
unset QT_QPA_PLATFORM

status=0
(
    flock 9
    "$server" --listen 127.0.0.1 --port 12345 --data "$check/data" \
        --tls-cert "$check/tls/chain.pem" --tls-key "$check/tls/server.key" 2>"$check/server.log" &
    server_pid=$!
    trap 'kill $server_pid 2>/dev/null || true; wait $server_pid 2>/dev/null || true' EXIT
    for _ in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/12345) 2>/dev/null && break
        sleep 0.1
    done
    # The Unix working directory becomes the program's; this one holds no explorer.exe.
    cd "$check"
    # Wine hands a console program's output to a pipe only in part; QtTest writes a file.
    rm -f "$check/wine.log"
    test_status=0
    for test in tst_windows tst_windowstls; do
        env "${winenv[@]}" timeout 900 wine "$run/$test.exe" -o "$(winepath -w "$check/$test.log"),txt" \
            >>"$check/wine.log" 2>&1 || test_status=$?
        cat "$check/$test.log"
    done
    exit "$test_status"
) 9>/tmp/tavrel-port12345.lock || status=$?
finished=$(date +%s)

echo "Windows check: builds $((built - started)) s, Wine prefix $((prefixed - built)) s," \
    "tests $((finished - prefixed)) s; screenshot: $check/screenshot.png"
exit "$status"
