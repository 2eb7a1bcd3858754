# Names the Windows scripts share; sourced by them. The cross-built Qt has the version of
# Debian's, whose moc, rcc and uic it uses.
qt_host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
if [ -z "$qt_host_version" ]; then
    "$root/scripts/setup.sh"
    qt_host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
fi
qt_version=${qt_host_version%%+*}
win_qt=${TAVREL_WIN_QT:-"$HOME/.cache/tavrel/qt-$qt_version-mingw64"}
win_build=${TAVREL_WIN_BUILD_DIR:-"$root/build-windows"}
win_dist="$root/dist/windows"
win_zip="$root/dist/tavrel-windows.zip"
win_msi="$root/dist/tavrel.msi"

# The MinGW runtime that every program built with it loads.
mingw_runtime=(libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
mingw_runtime_path() {
    local path
    path=$(x86_64-w64-mingw32-g++-posix -print-file-name="$1")
    if [ ! -e "$path" ]; then
        path=/usr/x86_64-w64-mingw32/lib/$1
    fi
    echo "$path"
}
