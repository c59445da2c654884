# Install rules and release packages (CPack).
#   Windows build: pipeword-VERSION-win32.zip (the 32-bit build) or pipeword-VERSION-win64.zip
#                  (the 64-bit one), a folder with the two executables, README.txt,
#                  LICENSE.txt and the client samples in samples/ (text files with CR LF line
#                  ends).
#   Linux build:   pipeword_VERSION_ARCH.deb, with the executables in /usr/bin, their manual
#                  pages in /usr/share/man/man1 (gzip -9n), the copyright file, change log
#                  (packaging/debian-changelog) and the Python client sample in
#                  /usr/share/doc/pipeword, a tmpfiles.d entry that makes /tmp/.pipe
#                  root's at boot, applied at install too (packaging/debian-postinst),
#                  and lintian's overrides (packaging/lintian-overrides); Depends computed
#                  by dpkg-shlibdeps (none for the static-pie programs that the
#                  release-native preset builds).
# scripts/release.sh builds all three into dist/ through the release-* presets.

set(PIPEWORD_PACKAGING_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)

# Writes SOURCE to DESTINATION with CR LF line ends; regenerated when SOURCE changes.
function(pipeword_crlf_copy source destination)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${destination} "${text}")
endfunction()

if(WIN32)
  # The user unpacks one folder and finds everything at its top.
  install(TARGETS pipeword pipeword-client RUNTIME DESTINATION .)
  pipeword_crlf_copy(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt
                     ${PIPEWORD_PACKAGING_DIR}/README.txt)
  pipeword_crlf_copy(${PROJECT_SOURCE_DIR}/LICENSE ${PIPEWORD_PACKAGING_DIR}/LICENSE.txt)
  install(FILES ${PIPEWORD_PACKAGING_DIR}/README.txt ${PIPEWORD_PACKAGING_DIR}/LICENSE.txt
          DESTINATION .)
  foreach(sample pipeword_client.py pipeword-client.ps1 pipeword_client.c)
    pipeword_crlf_copy(${PROJECT_SOURCE_DIR}/client/samples/${sample}
                       ${PIPEWORD_PACKAGING_DIR}/samples/${sample})
    install(FILES ${PIPEWORD_PACKAGING_DIR}/samples/${sample} DESTINATION samples)
  endforeach()
else()
  include(GNUInstallDirs)
  install(TARGETS pipeword pipeword-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages and the package's change log, compressed as Debian ships them: gzip -9,
  # without name or time stamp, so that the same text always gives the same bytes.
  find_program(PIPEWORD_GZIP gzip REQUIRED)
  set(compressed_files "")
  foreach(source_and_name man/pipeword.1:pipeword.1 man/pipeword-client.1:pipeword-client.1
                          packaging/debian-changelog:changelog)
    string(REPLACE ":" ";" source_and_name ${source_and_name})
    list(GET source_and_name 0 source)
    list(GET source_and_name 1 name)
    set(compressed ${PIPEWORD_PACKAGING_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${PIPEWORD_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/${source} > ${compressed}
      DEPENDS ${PROJECT_SOURCE_DIR}/${source}
      COMMENT "Compressing ${source}"
      VERBATIM)
    list(APPEND compressed_files ${compressed})
  endforeach()
  add_custom_target(pipeword-compressed-docs ALL DEPENDS ${compressed_files})
  install(FILES ${PIPEWORD_PACKAGING_DIR}/pipeword.1.gz
                ${PIPEWORD_PACKAGING_DIR}/pipeword-client.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # /usr/share/doc/pipeword/copyright in Debian's machine-readable format, with the licence
  # text from LICENSE (blank lines become " .", every line is indented by one space).
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
  set(license_body "")
  foreach(line IN LISTS license_lines)
    if(line MATCHES "^(MIT License|Copyright .*)$")
      continue()
    endif()
    if(line STREQUAL "")
      string(APPEND license_body " .\n")
    else()
      string(APPEND license_body " ${line}\n")
    endif()
  endforeach()
  string(REGEX REPLACE "^( \\.\n)+" "" license_body "${license_body}")
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE copyright_line REGEX "^Copyright ")
  string(REGEX REPLACE "^Copyright (\\(c\\) )?" "" copyright_holder "${copyright_line}")
  file(WRITE ${PIPEWORD_PACKAGING_DIR}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: pipeword\n"
    "\n"
    "Files: *\n"
    "Copyright: ${copyright_holder}\n"
    "License: Expat\n"
    "\n"
    "License: Expat\n"
    "${license_body}")
  install(FILES ${PIPEWORD_PACKAGING_DIR}/copyright ${PIPEWORD_PACKAGING_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/pipeword)
  install(FILES ${PROJECT_SOURCE_DIR}/client/samples/pipeword_client.py
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/pipeword/examples)
  # Applied at boot, as for /tmp/.X11-unix, and at install by the package's postinst.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/pipeword-tmpfiles.conf
          DESTINATION lib/tmpfiles.d RENAME pipeword.conf)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME pipeword)
  # A stripped install (CPack's) drops the compiler's .comment section as well, as Debian's
  # dh_strip does; -fno-ident would not reach the one that the static C library brings.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program pipeword pipeword-client)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
          COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()")
endif()

# ---- CPack ---------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME pipeword)
set(CPACK_PACKAGE_VENDOR "the pipeword authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "hand one control word to one client over a named pipe")
# The long description, in lines short enough for Debian's control file (CPack keeps them).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "pipeword creates the message-mode pipe SamplePipe, serves one client on it"
  "and ends: the client writes a request and reads back the control word chosen"
  "on the command line (Start, CorvaneStop or CorvaneContinue). The exit status"
  "tells whether the exchange finished within 10 seconds. On Linux the pipe is"
  "an AF_UNIX SOCK_SEQPACKET socket under /tmp/.pipe, a directory that the"
  "package makes root's when installed and at every boot (tmpfiles.d)."
  ""
  "The package also contains pipeword-client, a client for people and scripts,"
  "and a client in Python.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# The packages hold what the rules above install (their component, Unspecified); the
# library's components, runtime and development (lib/CMakeLists.txt), are installed by
# cmake --install but go into no package yet.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # pipeword-1.0.0.5-win32 or -win64: CPack's system names for the 32-bit and 64-bit builds.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(PIPEWORD_DEBIAN_MAINTAINER "the pipeword authors <pipeword@example.org>"
      CACHE STRING "Maintainer field of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PIPEWORD_DEBIAN_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The postinst applies the tmpfiles.d entry at once. CPack names each control file after
  # its file and, strictly, gives it Debian's mode (0755 for a script) whatever the checkout
  # gave the source.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian-postinst ${PIPEWORD_PACKAGING_DIR}/postinst
                 COPYONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PIPEWORD_PACKAGING_DIR}/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
