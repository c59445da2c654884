# What both Windows cross-builds share, for Debian's mingw-w64; the toolchain files
# mingw-w64-i686.cmake and mingw-w64-x86_64.cmake name the target first (PIPEWORD_MINGW).
# The -posix thread model is the one that can build GoogleTest. Tests run under Wine
# through the emulator below, which picks the Wine loader that matches each executable.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PIPEWORD_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PIPEWORD_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${PIPEWORD_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PIPEWORD_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
