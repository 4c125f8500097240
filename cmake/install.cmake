# `cmake --install` and the packages CPack builds from it: a Debian package on Linux, a zip of
# the cross-built program on Windows.

set(TELVANE_EXAMPLES ${PROJECT_SOURCE_DIR}/examples)

if(WIN32)
  # Everything beside the program, where it looks for its settings, greeting and libraries:
  # the platform library and the telephony service with its simulated lines. The example
  # lines file goes under another name: a lines.ini beside the program would put every run
  # on simulated lines instead of the modems.
  install(TARGETS telvane RUNTIME DESTINATION .)
  install(FILES ${TELVANE_EXAMPLES}/PressAnyKey.wav ${TELVANE_EXAMPLES}/telvane.ini
                ${TELVANE_EXAMPLES}/routerfailure.wav
          DESTINATION .)
  if(TELVANE_LINE_SERVICE)
    install(TARGETS telvane_platform linesvc
            RUNTIME DESTINATION .
            ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
    install(FILES ${TELVANE_EXAMPLES}/lines.ini DESTINATION . RENAME lines-example.ini)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME telvane-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(TELVANE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/telvane)
  install(TARGETS telvane RUNTIME DESTINATION ${TELVANE_INSTALL_BINDIR})
  install(TARGETS telvane_platform linesvc telvane_speech telvane_sip telvane_spandsp
          LIBRARY DESTINATION ${TELVANE_INSTALL_LIBDIR})
  install(FILES ${TELVANE_EXAMPLES}/PressAnyKey.wav DESTINATION ${TELVANE_INSTALL_DATADIR})
  install(FILES ${TELVANE_EXAMPLES}/telvane.ini ${TELVANE_EXAMPLES}/lines.ini
                ${TELVANE_EXAMPLES}/routerfailure.wav ${TELVANE_EXAMPLES}/routerfailure.txt
          DESTINATION ${TELVANE_INSTALL_DOCDIR}/examples)
  install(DIRECTORY ${TELVANE_EXAMPLES}/integrations
          DESTINATION ${TELVANE_INSTALL_DOCDIR}/examples)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${TELVANE_INSTALL_DOCDIR})

  # Manual pages, written for scdoc and installed compressed as Debian wants them.
  find_program(TELVANE_SCDOC scdoc REQUIRED)
  find_program(TELVANE_GZIP gzip REQUIRED)
  set(telvane_man_pages)
  foreach(page telvane.1 telvane-lines.5)
    set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
    set(page_file ${PROJECT_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${page_file} ${page_file}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${TELVANE_SCDOC} < ${source} > ${page_file}
      COMMAND ${TELVANE_GZIP} -9 -n -c ${page_file} > ${page_file}.gz
      DEPENDS ${source}
      COMMENT "Manual page ${page}"
      VERBATIM)
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${page_file}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    list(APPEND telvane_man_pages ${page_file}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${telvane_man_pages})

  # The changelog Debian wants in every package (a native one: no Debian revision).
  string(TIMESTAMP telvane_build_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
                 ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${TELVANE_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/packaging/changelog
            > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(debian_changelog ALL
                    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${TELVANE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends are computed from the shared libraries the program and its modules link. ALSA is
  # only loaded when the sound card is used, so it is recommended, not required.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TELVANE_INSTALL_LIBDIR})
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libasound2)
  # The extended description; CPack puts the summary above it and indents every line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Telvane phones a number and plays a recorded or spoken alert to whoever
answers: a greeting asking for a key until the listener presses one, then the
message. It tries a backup number, and its exit status can tell the calling
script whether somebody acknowledged the alert.

Calls go through voice modems (V.253), or through simulated lines to try it
out. Text alerts are spoken with espeak-ng.")
endif()

set(CPACK_PACKAGE_NAME telvane)
set(CPACK_PACKAGE_VENDOR "Telvane developers")
set(CPACK_PACKAGE_CONTACT "Telvane developers <telvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Voice alerts by telephone for monitoring systems")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
include(CPack)
