# What both mingw-w64 cross builds share (posix threading flavour); the toolchain file of
# each target sets TARVIK_MINGW_ARCH and the Wine loader its tests run under, then
# includes this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TARVIK_MINGW_ARCH})
set(CMAKE_C_COMPILER ${TARVIK_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVIK_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${TARVIK_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The loader itself, not the wine wrapper script, which picks one by what is installed.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVIK_WINE_LOADER})
