#!/usr/bin/env bash
# Installs what building, running and testing Tavrel needs on Debian 12, and nothing when
# it is all there already. Packages named as arguments are installed too (scripts that need
# more than the build does pass theirs).
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libgl-dev
    libsodium-dev
    libcurl4-openssl-dev # the server's SMTP submission
    libssl-dev           # the server's check that a TLS key belongs to its certificate
    qt6-httpserver-dev qt6-websockets-dev # the metrics endpoint (Debian forgets the second)
    python3-aiosmtpd openssl # a real SMTP relay with STARTTLS, and the TLS tests' certificates
    libqt6sql6-psql      # the server's PostgreSQL backend (--database)
    libhiredis-dev       # the server's Redis bus (--bus)
    libicu-dev           # the server's name folding and spoof checks (uspoof)
    postgresql redis-server  # real engines the multi-instance tests start on loopback
    shared-mime-info     # the MIME database the client checks outgoing files against
    fonts-wqy-microhei   # renders the window's Chinese captions
    xvfb xauth           # a display for machines without one
    libglib2.0-bin       # gio, which the launch test starts the menu entry with
    libqt6svg6 qt6-image-formats-plugins # image plugins the window must never hand a received image to
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
# Another install on this machine (a second build tree, unattended upgrades) may hold the
# package lock for a while: wait for it rather than fail.
lock_wait=(-o DPkg::Lock::Timeout=900)
$sudo apt-get "${lock_wait[@]}" update
$sudo apt-get "${lock_wait[@]}" install -y --no-install-recommends "${missing[@]}"
