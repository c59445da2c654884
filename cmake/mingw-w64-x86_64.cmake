# Cross-build for 64-bit x86 Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64), for
# installations that run no 32-bit programs. Its doubles are SSE2 doubles already.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PIPEWORD_MINGW x86_64-w64-mingw32)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
