# find_package(pipeword) gives pipeword::pipeword, libpipeword as a shared library, and
# pipeword::pipeword_static, its static archive (which brings the C++ runtime's library
# with it); both with the include directory of pipeword.h.
include(${CMAKE_CURRENT_LIST_DIR}/pipeword-targets.cmake)
