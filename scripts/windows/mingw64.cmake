# CMake toolchain for 64-bit Windows programs built with MinGW-w64 on Debian.
#
# The posix thread model is the one whose libstdc++ has std::thread and std::mutex, which
# Qt needs. Libraries and headers are searched only under the MinGW sysroot and the folders
# named in TAVREL_WIN_FIND_ROOT (the cross-built Qt); programs such as moc run on the host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVREL_MINGW_TRIPLE}-windres)

# Try-compile projects get a fresh cache; hand the variable on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVREL_WIN_FIND_ROOT)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVREL_MINGW_TRIPLE} ${TAVREL_WIN_FIND_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
