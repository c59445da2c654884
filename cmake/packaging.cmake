# Install rules and release packages (CPack). Components: programs (the two programs and
# their documents), runtime and development (libpipeword: lib/CMakeLists.txt), python (the
# Python package), and on Linux tarball (everything for the Linux tarball).
#   Windows build: pipeword-VERSION-win32.zip (the 32-bit build) or pipeword-VERSION-win64.zip
#                  (the 64-bit one): one folder with every component, the programs and
#                  pipeword.dll at its top, the library's header in include/, its import
#                  files in lib/, README.txt (packaging/README-windows.txt, filled in for the
#                  machine), CHANGES.txt (packaging/debian-changelog), LICENSE.txt, and the
#                  client samples in samples/ with the Python package beside them (read-mes
#                  and samples with CR LF line ends).
#   Linux build:   the Debian packages, one a component: pipeword (programs: the programs in
#                  /usr/bin, their manual pages, README.Debian, the tmpfiles.d entry that makes
#                  /tmp/.pipe root's at boot and its postinst, lintian's overrides),
#                  libpipeword1 (runtime, with its shlibs, symbols and ldconfig trigger),
#                  libpipeword-dev (development, with the C example) and python3-pipeword
#                  (python, with the Python sample); each with the copyright file and the change
#                  log (packaging/debian-changelog) in /usr/share/doc/PACKAGE. Depends come
#                  from dpkg-shlibdeps (none for the static-pie programs that the release-native
#                  preset builds). The component tarball is installed by scripts/release.sh
#                  under /usr/local and packed as pipeword-VERSION-linux-x86_64.tar.gz.
# scripts/release.sh builds them all into dist/ through the release-* presets.

set(PIPEWORD_PACKAGING_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)

# Writes SOURCE to DESTINATION with CR LF line ends, its @VARIABLES@ replaced if a third
# argument CONFIGURE is given; regenerated when SOURCE changes.
function(pipeword_crlf_copy source destination)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  if(ARGV2 STREQUAL "CONFIGURE")
    string(CONFIGURE "${text}" text @ONLY)
  endif()
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${destination} "${text}")
endfunction()

# The Python package as its wheel holds it (python/pipeword_build.py builds the wheel, which
# adds pipeword/_version.py and the metadata), unpacked into python/ for the packages that
# carry it: the ZIPs beside the Python sample, python3-pipeword in Debian's place for it.
find_program(PIPEWORD_PYTHON python3 REQUIRED)
set(python_stage ${PIPEWORD_PACKAGING_DIR}/python)
file(GLOB python_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/src/pipeword/*)
add_custom_command(OUTPUT ${python_stage}/unpacked
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${python_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${python_stage}/wheel
  COMMAND ${PIPEWORD_PYTHON} ${PROJECT_SOURCE_DIR}/python/pipeword_build.py ${python_stage}/wheel
  COMMAND ${CMAKE_COMMAND} -E chdir ${python_stage}
          ${CMAKE_COMMAND} -E tar xf wheel/pipeword-${PROJECT_VERSION}-py3-none-any.whl
  COMMAND ${CMAKE_COMMAND} -E touch ${python_stage}/unpacked
  DEPENDS ${python_sources} ${PROJECT_SOURCE_DIR}/python/pipeword_build.py
          ${PROJECT_SOURCE_DIR}/CMakeLists.txt
  COMMENT "Building and unpacking the Python package's wheel"
  VERBATIM)
add_custom_target(pipeword-python-package ALL DEPENDS ${python_stage}/unpacked)
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(WIN32)
  # The user unpacks one folder and finds the programs and the DLL at its top (where Windows'
  # loader finds the DLL), the library's header and import files in include/ and lib/.
  install(TARGETS pipeword pipeword-client RUNTIME DESTINATION . COMPONENT programs)
  # The read-me names the ZIP's own machine.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(PIPEWORD_WINDOWS_TITLE "64-bit Windows (x64)")
    set(PIPEWORD_WINDOWS_MACHINE "64-bit x86-64 (x64)")
    # A paragraph of README.txt, in its lines.
    string(JOIN "\n" PIPEWORD_WINDOWS_RUNS_ON
      "They are for 64-bit x86 Windows (x64), also where no 32-bit programs run"
      "(Windows PE, Server Core without WoW64); for 32-bit Windows, take"
      "pipeword-${PROJECT_VERSION}-win32.zip.")
    set(PIPEWORD_MINGW x86_64-w64-mingw32)
    set(PIPEWORD_MSVC_MACHINE x64)
  else()
    set(PIPEWORD_WINDOWS_TITLE "32-bit Windows (x86)")
    set(PIPEWORD_WINDOWS_MACHINE "32-bit x86")
    string(JOIN "\n" PIPEWORD_WINDOWS_RUNS_ON
      "They run on every x86 and x64 Windows that runs 32-bit programs; for an"
      "installation that runs none, take pipeword-${PROJECT_VERSION}-win64.zip.")
    set(PIPEWORD_MINGW i686-w64-mingw32)
    set(PIPEWORD_MSVC_MACHINE x86)
  endif()
  set(PIPEWORD_WINDOWS_HEADING "pipeword ${PROJECT_VERSION} for ${PIPEWORD_WINDOWS_TITLE}")
  string(LENGTH "${PIPEWORD_WINDOWS_HEADING}" heading_length)
  string(REPEAT "=" ${heading_length} PIPEWORD_WINDOWS_UNDERLINE)
  pipeword_crlf_copy(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt
                     ${PIPEWORD_PACKAGING_DIR}/README.txt CONFIGURE)
  pipeword_crlf_copy(${PROJECT_SOURCE_DIR}/packaging/debian-changelog
                     ${PIPEWORD_PACKAGING_DIR}/CHANGES.txt)
  pipeword_crlf_copy(${PROJECT_SOURCE_DIR}/LICENSE ${PIPEWORD_PACKAGING_DIR}/LICENSE.txt)
  install(FILES ${PIPEWORD_PACKAGING_DIR}/README.txt ${PIPEWORD_PACKAGING_DIR}/CHANGES.txt
                ${PIPEWORD_PACKAGING_DIR}/LICENSE.txt
          DESTINATION . COMPONENT programs)
  foreach(sample pipeword_client.py pipeword-client.ps1 pipeword_client.c pipeword_example.c)
    pipeword_crlf_copy(${PROJECT_SOURCE_DIR}/client/samples/${sample}
                       ${PIPEWORD_PACKAGING_DIR}/samples/${sample})
    install(FILES ${PIPEWORD_PACKAGING_DIR}/samples/${sample} DESTINATION samples
            COMPONENT programs)
  endforeach()
  # Beside the Python sample, which imports it from there with nothing installed.
  install(DIRECTORY ${python_stage}/pipeword DESTINATION samples COMPONENT python
          FILE_PERMISSIONS ${readable})
  # The linker writes SOURCE_DATE_EPOCH into what it links (into the DLL's export table too,
  # which strip leaves as it is): each is linked again when that time changes, so that a
  # build tree kept from an earlier commit gives the bytes of a fresh one.
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch_file ${PIPEWORD_PACKAGING_DIR}/source-date-epoch)
    file(CONFIGURE OUTPUT ${epoch_file} CONTENT "$ENV{SOURCE_DATE_EPOCH}\n")
    set_property(TARGET pipeword pipeword-client libpipeword APPEND PROPERTY LINK_DEPENDS
                 ${epoch_file})
  endif()
else()
  include(GNUInstallDirs)
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc)
  install(TARGETS pipeword pipeword-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT programs)

  # Manual pages and the packages' change log, compressed as Debian ships them: gzip -9,
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
  set(manual_pages ${PIPEWORD_PACKAGING_DIR}/pipeword.1.gz
                   ${PIPEWORD_PACKAGING_DIR}/pipeword-client.1.gz)
  install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)

  # The copyright file in Debian's machine-readable format, with the licence text from
  # LICENSE (blank lines become " .", every line is indented by one space).
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
  # Every package has its own /usr/share/doc/PACKAGE with both, as Debian's policy asks.
  foreach(package_and_component pipeword:programs libpipeword1:runtime
                                libpipeword-dev:development python3-pipeword:python)
    string(REPLACE ":" ";" package_and_component ${package_and_component})
    list(GET package_and_component 0 package)
    list(GET package_and_component 1 component)
    install(FILES ${PIPEWORD_PACKAGING_DIR}/copyright ${PIPEWORD_PACKAGING_DIR}/changelog.gz
            DESTINATION ${doc}/${package} COMPONENT ${component})
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.Debian DESTINATION ${doc}/pipeword
          COMPONENT programs)
  install(FILES ${PROJECT_SOURCE_DIR}/client/samples/pipeword_example.c
          DESTINATION ${doc}/libpipeword-dev/examples COMPONENT development)
  install(FILES ${PROJECT_SOURCE_DIR}/client/samples/pipeword_client.py
          DESTINATION ${doc}/python3-pipeword/examples COMPONENT python)
  # Applied at boot, as for /tmp/.X11-unix, and at install by the package's postinst.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/pipeword-tmpfiles.conf
          DESTINATION lib/tmpfiles.d RENAME pipeword.conf COMPONENT programs)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME pipeword
          COMPONENT programs)
  # Where Debian's python3 packages put a pure-Python package, with its metadata (but the
  # licence, which is in the copyright file, and the list of files, which is dpkg's).
  set(dist_packages lib/python3/dist-packages)
  install(DIRECTORY ${python_stage}/pipeword DESTINATION ${dist_packages} COMPONENT python
          FILE_PERMISSIONS ${readable})
  set(dist_info pipeword-${PROJECT_VERSION}.dist-info)
  install(FILES ${python_stage}/${dist_info}/METADATA ${python_stage}/${dist_info}/WHEEL
          DESTINATION ${dist_packages}/${dist_info} COMPONENT python)

  # libpipeword1's control files: shlibs and symbols (every function of pipeword.def, each
  # since this first version), and the trigger that runs ldconfig once dpkg is done.
  set(exports ${PIPEWORD_EXPORTS})
  list(SORT exports)
  list(TRANSFORM exports REPLACE "^(.+)$" " \\1@Base ${PROJECT_VERSION}\n")
  list(JOIN exports "" exports)
  set(runtime_control ${PIPEWORD_PACKAGING_DIR}/libpipeword1)
  file(WRITE ${runtime_control}/shlibs "libpipeword 1 libpipeword1 (>= ${PROJECT_VERSION})\n")
  file(WRITE ${runtime_control}/symbols "libpipeword.so.1 libpipeword1 #MINVER#\n"
             "* Build-Depends-Package: libpipeword-dev\n" "${exports}")
  file(WRITE ${runtime_control}/triggers "activate-noawait ldconfig\n")

  # ---- The Linux tarball: the programs, the manual pages and the library, under a prefix
  # with a plain lib/ (scripts/release.sh installs it under /usr/local, as a user unpacks it)
  set(tarball_pc ${PIPEWORD_PACKAGING_DIR}/tarball/pipeword.pc)
  install(TARGETS pipeword pipeword-client RUNTIME DESTINATION bin COMPONENT tarball)
  install(TARGETS libpipeword pipeword_static EXPORT pipeword-tarball-targets
    LIBRARY DESTINATION lib PERMISSIONS ${readable} COMPONENT tarball
    ARCHIVE DESTINATION lib COMPONENT tarball)
  install(FILES lib/include/pipeword.h DESTINATION include COMPONENT tarball)
  install(EXPORT pipeword-tarball-targets NAMESPACE pipeword:: FILE pipeword-targets.cmake
          DESTINATION lib/cmake/pipeword COMPONENT tarball)
  install(FILES lib/pipeword-config.cmake ${PROJECT_BINARY_DIR}/lib/pipeword-config-version.cmake
          DESTINATION lib/cmake/pipeword COMPONENT tarball)
  pipeword_install_pc(tarball include lib ${tarball_pc})
  install(FILES ${manual_pages} DESTINATION share/man/man1 COMPONENT tarball)
  install(FILES README.md LICENSE DESTINATION share/doc/pipeword COMPONENT tarball)
  # The long parts of the README, which it links to as docs/.
  file(GLOB pipeword_documents ${PROJECT_SOURCE_DIR}/docs/*.md)
  install(FILES ${pipeword_documents} DESTINATION share/doc/pipeword/docs COMPONENT tarball)
  install(FILES packaging/debian-changelog DESTINATION share/doc/pipeword RENAME changelog
          COMPONENT tarball)
  # systemd-tmpfiles reads /usr/local/lib/tmpfiles.d too.
  install(FILES packaging/pipeword-tmpfiles.conf DESTINATION lib/tmpfiles.d
          RENAME pipeword.conf COMPONENT tarball)

  # A stripped install (CPack's, the tarball's) drops the compiler's .comment section from
  # the programs and the library as well, as Debian's dh_strip does; -fno-ident would not
  # reach the one that the static C library brings.
  set(library $<TARGET_FILE_NAME:libpipeword>)
  set(archive $<TARGET_FILE_NAME:pipeword_static>)
  foreach(component_and_file programs|${CMAKE_INSTALL_BINDIR}/pipeword
          programs|${CMAKE_INSTALL_BINDIR}/pipeword-client
          runtime|${CMAKE_INSTALL_LIBDIR}/${library} development|${CMAKE_INSTALL_LIBDIR}/${archive}
          tarball|bin/pipeword tarball|bin/pipeword-client tarball|lib/${library}
          tarball|lib/${archive})
    string(REPLACE "|" ";" component_and_file ${component_and_file})
    list(GET component_and_file 0 component)
    list(GET component_and_file 1 file)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" COMMAND_ERROR_IS_FATAL ANY)
      endif()" COMPONENT ${component})
  endforeach()
endif()

# ---- CPack ---------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME pipeword)
set(CPACK_PACKAGE_VENDOR "the pipeword authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # pipeword-1.0.0.5-win32 or -win64: CPack's system names for the 32-bit and 64-bit builds.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-win32)
  endif()
  # Every component in the one folder.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL programs runtime development python)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(PIPEWORD_DEBIAN_MAINTAINER "the pipeword authors <pipeword@example.org>"
      CACHE STRING "Maintainer field of the Debian packages")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PIPEWORD_DEBIAN_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # CPack names each control file after its file and, strictly, gives it Debian's mode (0755
  # for a script) whatever the checkout gave the source.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Each package's description is its own: synopsis, then the long description in lines
  # short enough for Debian's control file (CPack keeps them).
  set(about_the_library
    "libpipeword asks a pipeword server for its word over its named pipe, from C,"
    "C++ or any language that calls C functions. On Linux the pipe is a local"
    "socket, and the library keeps the rules that pipeword-client keeps: it trusts"
    "only a pipe directory, a way to it and a server that no other user could have"
    "put in place.")

  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME pipeword)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS "libpipeword-dev, python3-pipeword")
  string(JOIN "\n" CPACK_DEBIAN_PROGRAMS_DESCRIPTION
    "hand one control word to one client over a named pipe"
    "pipeword creates the message-mode pipe SamplePipe, serves one client on it"
    "and ends: the client writes a request and reads back the control word chosen"
    "on the command line (Start, CorvaneStop or CorvaneContinue). The exit status"
    "tells whether the exchange finished within 10 seconds. On Linux the pipe is"
    "an AF_UNIX SOCK_SEQPACKET socket under /tmp/.pipe, a directory that the"
    "package makes root's when installed and at every boot (tmpfiles.d)."
    ""
    "The package also contains pipeword-client, a client for people and scripts."
    "Programs ask with libpipeword (libpipeword-dev) or the Python package"
    "(python3-pipeword).")
  # The postinst applies the tmpfiles.d entry at once.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian-postinst
                 ${PIPEWORD_PACKAGING_DIR}/pipeword/postinst COPYONLY)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_EXTRA ${PIPEWORD_PACKAGING_DIR}/pipeword/postinst)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libpipeword1)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  string(JOIN "\n" CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "client library for pipeword servers" ${about_the_library} ""
    "This package contains the shared library.")
  # Its Depends come from cpack-deb-depends.cmake, not from CPack's own dpkg-shlibdeps run,
  # which would add maintainer scripts that call ldconfig where the trigger does it.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
      ${runtime_control}/shlibs ${runtime_control}/symbols ${runtime_control}/triggers)
  file(GENERATE OUTPUT ${PIPEWORD_PACKAGING_DIR}/cpack-deb-depends.cmake
       INPUT ${PROJECT_SOURCE_DIR}/cmake/cpack-deb-depends.cmake)
  set(CPACK_PROJECT_CONFIG_FILE ${PIPEWORD_PACKAGING_DIR}/cpack-deb-depends.cmake)

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libpipeword-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libpipeword1 (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
  string(JOIN "\n" CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "client library for pipeword servers (development files)" ${about_the_library} ""
    "This package contains the header, the static library, the pkg-config and"
    "CMake package files, and an example.")

  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-pipeword)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any (>= 3.8)")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
  string(JOIN "\n" CPACK_DEBIAN_PYTHON_DESCRIPTION
    "Python 3 client for pipeword servers"
    "The Python package pipeword asks a pipeword server for its word over its"
    "named pipe, in pure Python, with each outcome as an exception that carries"
    "its Win32 code. On Linux it keeps the rules that pipeword-client keeps: it"
    "trusts only a pipe directory, a way to it and a server that no other user"
    "could have put in place.")
  # Byte code made at install and removed before removal, as dh_python3 has it done.
  foreach(script postinst prerm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/python3-pipeword.${script}
                   ${PIPEWORD_PACKAGING_DIR}/python3-pipeword/${script} COPYONLY)
    list(APPEND CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
         ${PIPEWORD_PACKAGING_DIR}/python3-pipeword/${script})
  endforeach()
endif()

include(CPack)
