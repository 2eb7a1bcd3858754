#!/usr/bin/env bash
# Builds the Debian packages tavrel (the client) and tavrel-server into build-package/: a
# Release build installed into /usr, so that the server reads /etc/tavrel/server.conf. Then
# checks them with scripts/check-packages.sh, passing on its arguments (--install also
# installs them into a fresh Debian 12 root).
#
#   scripts/package.sh [--install]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVREL_PACKAGE_BUILD_DIR:-"$root/build-package"}

# help2man makes the manual page; dpkg-dev and file let CPack find the dependencies; the
# rest is for the checks (debootstrap for --install).
"$root/scripts/setup.sh" help2man dpkg-dev file desktop-file-utils systemd man-db curl debootstrap

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTAVREL_BUILD_TESTS=OFF -DTAVREL_BUILD_BENCH=OFF -DTAVREL_MAN_PAGE=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls -l "$build"/*.deb
"$root/scripts/check-packages.sh" "$@" "$build"/tavrel_*.deb "$build"/tavrel-server_*.deb
