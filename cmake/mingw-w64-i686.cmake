# Cross-build for 32-bit x86 Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PIPEWORD_MINGW i686-w64-mingw32)

# Doubles are IEEE doubles, as on every other target: no x87 extended precision.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
