# Included by cpack (CPACK_PROJECT_CONFIG_FILE, written by file(GENERATE), which names the
# library as built): libpipeword1's Depends, from dpkg-shlibdeps on the library itself.
# CPack's own run of it would add maintainer scripts that call ldconfig, which the package's
# trigger does instead.
if(CPACK_GENERATOR STREQUAL "DEB")
  # dpkg-shlibdeps reads debian/control from its working directory; an empty one serves.
  set(shlibdeps_dir "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/shlibdeps")
  file(MAKE_DIRECTORY "${shlibdeps_dir}/debian")
  file(TOUCH "${shlibdeps_dir}/debian/control")
  execute_process(COMMAND dpkg-shlibdeps -O "$<TARGET_FILE:libpipeword>"
    WORKING_DIRECTORY "${shlibdeps_dir}"
    OUTPUT_VARIABLE shlibdeps
    ERROR_VARIABLE complaints)
  if(NOT shlibdeps MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps gave no Depends for libpipeword: ${complaints}")
  endif()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
