#!/usr/bin/env bash
# Cross-builds tavrel.exe with the Qt that build-qt.sh left in its cache and lays out a
# folder that runs as it is on 64-bit Windows: dist/windows/, and dist/tavrel-windows.zip
# holding the same folder. Arguments: CMake options (-D...) and, after them, more targets
# of the Windows build to make (check.sh asks for its tests this way). The server is not
# built: it runs on Linux only.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/setup.sh" g++-mingw-w64-x86-64-posix zip wixl msitools
# shellcheck source=scripts/windows/common.sh
source "$root/scripts/windows/common.sh"

if [ ! -f "$win_qt/tavrel-build-complete" ]; then
    echo "No Qt for Windows in $win_qt: run scripts/windows/build-qt.sh first" >&2
    exit 1
fi

options=()
targets=(--target tavrel)
for arg in "$@"; do
    case "$arg" in
    -D*) options+=("$arg") ;;
    *) targets+=(--target "$arg") ;;
    esac
done

cmake -S "$root" -B "$win_build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/scripts/windows/mingw64.cmake" \
    -DTAVREL_WIN_FIND_ROOT="$win_qt" \
    -DCMAKE_PREFIX_PATH="$win_qt" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_BUILD_TYPE=Release \
    -DTAVREL_BUILD_SERVER=OFF -DTAVREL_BUILD_BENCH=OFF \
    "${options[@]}" >/dev/null
cmake --build "$win_build" --parallel "$(nproc)" "${targets[@]}"

# windeployqt runs only on Windows, so the folder is laid out here: what the client loads
# and nothing more. Received images are decoded as PNG, JPEG, GIF or BMP only; PNG and BMP
# are built in, JPEG and GIF come as plugins.
rm -rf "$win_dist"
mkdir -p "$win_dist"/{platforms,styles,tls,imageformats}
# qt_standard_project_setup puts every program of a Windows build at the top of it.
install -m 755 "$win_build/tavrel.exe" "$win_dist/"
x86_64-w64-mingw32-strip "$win_dist/tavrel.exe"
for module in Core Gui Widgets Network; do
    install -m 644 "$win_qt/bin/Qt6$module.dll" "$win_dist/"
done
install -m 644 "$win_qt/plugins/platforms/qwindows.dll" "$win_dist/platforms/"
install -m 644 "$win_qt/plugins/styles/qwindowsvistastyle.dll" "$win_dist/styles/"
install -m 644 "$win_qt/plugins/tls/qschannelbackend.dll" "$win_dist/tls/"
for format in gif jpeg; do
    install -m 644 "$win_qt/plugins/imageformats/q$format.dll" "$win_dist/imageformats/"
done
# Debian ships the MinGW runtime with its debugging symbols (libstdc++ alone is 23 MB).
for runtime in "${mingw_runtime[@]}"; do
    install -m 644 "$(mingw_runtime_path "$runtime")" "$win_dist/"
    x86_64-w64-mingw32-strip --strip-unneeded "$win_dist/$runtime"
done

# Every DLL that something in the folder imports must be in the folder or be part of
# Windows itself: an API set (api-ms-win-*) or a DLL MinGW has an import library for.
missing=0
while IFS= read -r -d '' binary; do
    while read -r dll; do
        lower=${dll,,}
        if [ ! -e "$win_dist/$dll" ] && [[ $lower != api-ms-win-* ]] &&
            [ ! -e "/usr/x86_64-w64-mingw32/lib/lib${lower%.dll}.a" ]; then
            echo "$(basename "$binary") needs $dll, which the folder lacks" >&2
            missing=1
        fi
    done < <(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$win_dist" \( -name '*.exe' -o -name '*.dll' \) -print0)
[ "$missing" -eq 0 ]

rm -f "$win_zip"
(cd "$(dirname "$win_dist")" && zip -qr9 "$win_zip" "$(basename "$win_dist")")

# tavrel.msi: the same folder installed into Program Files, with a Start-menu shortcut
# (packaging/windows/tavrel.wxs).
rm -f "$win_msi"
version=$(sed -n 's/^project(Tavrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
dist_name=$(basename "$win_dist")
(cd "$(dirname "$win_dist")" && find "$dist_name" | sort |
    wixl-heat --prefix "$dist_name/" --directory-ref INSTALLDIR --component-group TavrelFiles \
        --var var.SourceDir) >"$win_build/tavrel-files.wxs"
# wixl takes the files' paths relative to the folder it runs in.
(cd "$(dirname "$win_dist")" && wixl --arch x64 -D SourceDir="$dist_name" -D Version="$version" \
    -o "$win_msi" "$root/packaging/windows/tavrel.wxs" "$win_build/tavrel-files.wxs")
echo "$win_dist: $(du -sh "$win_dist" | cut -f1); $win_zip: $(du -sh "$win_zip" | cut -f1);" \
    "$win_msi: $(du -sh "$win_msi" | cut -f1)"
