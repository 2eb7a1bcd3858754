#!/usr/bin/env bash
# Cross-builds, once, the part of Qt that tavrel.exe needs (Core, Gui with the qwindows
# platform plugin, Widgets, Network with Schannel, Test) for 64-bit Windows with MinGW-w64,
# from the source of the very Qt that Debian installs, so that this machine's moc, rcc and
# uic serve as its host tools. It installs into TAVREL_WIN_QT (default
# ~/.cache/tavrel/qt-<version>-mingw64); when that holds a finished build it does nothing.
#
# Measured on the 2-core build machine: 46 CPU minutes, so about 23 minutes when nothing
# else runs (100 minutes at the lowest priority beside five other builds).
# A run that is stopped resumes where it was: the source and the build folder stay in
# "<prefix>-build" until the install has finished.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
here="$root/scripts/windows"

"$root/scripts/setup.sh" g++-mingw-w64-x86-64-posix dpkg-dev
# shellcheck source=scripts/windows/common.sh
source "$here/common.sh"
prefix=$win_qt
done_mark="$prefix/tavrel-build-complete"
if [ -f "$done_mark" ]; then
    echo "Qt $qt_version for Windows is ready in $prefix: $(cat "$done_mark")"
    exit 0
fi

work="$prefix-build"
src="$work/qt6-base-$qt_version"
mkdir -p "$work"

fetch_source() {
    # Debian serves the source to anyone who lists a deb-src entry. The entry lives in a
    # private apt configuration for this one call, so the machine's own apt lists are left
    # as they were, also when the fetch fails.
    local apt_dir
    apt_dir=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-apt.XXXXXX")
    trap 'rm -rf "$apt_dir"' RETURN
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
        sort -u | sed 's/^/deb-src /' >"$apt_dir/sources.list"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
    local apt=(
        -o Dir::Etc::SourceList="$apt_dir/sources.list"
        -o Dir::Etc::SourceParts="$apt_dir/parts"
        -o Dir::State::Lists="$apt_dir/lists"
        -o Dir::Cache="$apt_dir/cache"
        -o APT::Sandbox::User=root
    )
    apt-get "${apt[@]}" update -qq
    rm -rf "$work/fetch"
    mkdir -p "$work/fetch"
    (cd "$work/fetch" && apt-get "${apt[@]}" source -qq "qt6-base=$qt_host_version")
    # The folder is named after the upstream version with Debian's suffix ("+dfsg").
    mv "$work/fetch"/qt6-base-"$qt_version"*/ "$src"
    rm -rf "$work/fetch"
}

if [ ! -f "$src/CMakeLists.txt" ]; then
    fetch_source
fi

# Qt 6.4 turns on dynamic OpenGL loading for Windows even when OpenGL is off, and one test
# for software OpenGL in the platform plugin then names classes that do not exist.
patch_file="$here/qt-without-opengl.patch"
if ! patch -d "$src" -p1 -R --dry-run -s -f <"$patch_file" >/dev/null; then
    patch -d "$src" -p1 -s <"$patch_file"
fi

# With Direct2D off, the platform integration still includes the DirectWrite font database
# (opt-in on Qt 6.4 through -platform windows:fontengine=directwrite), which then fails to
# link. Turning DirectWrite 3 off as well keeps the default GDI font engine and needs no patch.
#
# Debian's source lacks wintab (tablet events) and SQLite; the MIME database is built in on
# Windows, from the freedesktop.org file the source carries.
features=(
    -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
    -DFEATURE_xml=OFF -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF
    -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF -DFEATURE_tabletevent=OFF
    -DFEATURE_openssl=OFF -DFEATURE_schannel=ON
    -DFEATURE_mimetype=ON -DFEATURE_mimetype_database=ON
    -DFEATURE_testlib=ON -DFEATURE_widgets=ON -DFEATURE_graphicsview=ON
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_icu=OFF -DFEATURE_zstd=OFF
)

# qt.toolchain.cmake in the installed Qt records the path of the toolchain it was built
# with; a copy beside the install keeps that path valid wherever this tree is checked out.
mkdir -p "$prefix"
install -m 644 "$here/mingw64.cmake" "$prefix/mingw64.cmake"

build="$work/build"
started=$(date +%s)
cmake -S "$src" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$prefix/mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    "${features[@]}"
configured=$(date +%s)
cmake --build "$build" --parallel "$(nproc)"
cmake --install "$build" --strip
finished=$(date +%s)

summary="configured in $((configured - started)) s, built and installed in $((finished - configured)) s on $(nproc) cores (load when done: $(cut -d' ' -f1-3 /proc/loadavg)), $(du -sh "$prefix" | cut -f1)"
echo "Qt $qt_version for Windows: $summary"
echo "$summary" >"$done_mark"
rm -rf "$work"
