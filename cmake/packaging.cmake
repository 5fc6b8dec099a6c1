# Install rules and packages.
#
# Linux (cmake --install, and the .deb from cpack -G DEB):
#   bin/                               zolk_qex, zolk_qex-<chip> (ZOLK_ALL_FORMS), qex_sim
#   share/man/man1/                    zolk_qex.1.gz, qex_sim.1.gz; zolk_qex-<chip>.1.gz link to zolk_qex.1.gz
#   share/bash-completion/completions/ zolk_qex; a link for every other command name
#   share/doc/zolk-qex/                README.md, report.schema.json and LICENSE, or with
#                                      ZOLK_DEBIAN_DOCS copyright (from LICENSE) and changelog.gz
# Windows (cpack -G ZIP): the .exe forms, README.txt and LICENSE.txt with
# CRLF line ends, and report.schema.json, in one folder.
include(GNUInstallDirs)

set(ZOLK_PACKAGE_NAME zolk-qex)
set(ZOLK_GEN_DIR ${CMAKE_BINARY_DIR}/install-files)
file(MAKE_DIRECTORY ${ZOLK_GEN_DIR})

if(WIN32)
  install(TARGETS ${ZOLK_FORM_TARGETS} RUNTIME DESTINATION .)
  # Notepad of older Windows shows a file with bare LF ends as one line.
  foreach(pair "README.md;README.txt" "LICENSE;LICENSE.txt")
    list(GET pair 0 from)
    list(GET pair 1 to)
    configure_file(${CMAKE_SOURCE_DIR}/${from} ${ZOLK_GEN_DIR}/${to} @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${ZOLK_GEN_DIR}/${to} DESTINATION .)
  endforeach()
  install(FILES ${CMAKE_SOURCE_DIR}/docs/report.schema.json DESTINATION .)
else()
  set(ZOLK_COMMANDS ${ZOLK_FORM_TARGETS})
  install(TARGETS ${ZOLK_FORM_TARGETS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET qex_sim)
    install(TARGETS qex_sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND ZOLK_COMMANDS qex_sim)
  endif()

  # Manual pages: the version filled in, compressed as man and Debian expect
  # (-n: no name or time stamp in the gzip header, so rebuilds are identical).
  find_program(ZOLK_GZIP gzip REQUIRED)
  set(man_dir ${ZOLK_GEN_DIR}/man)
  set(man_pages zolk_qex)
  if(TARGET qex_sim)
    list(APPEND man_pages qex_sim)
  endif()
  set(man_outputs)
  foreach(page ${man_pages})
    configure_file(${CMAKE_SOURCE_DIR}/man/${page}.1 ${man_dir}/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${man_dir}/${page}.1.gz
      COMMAND ${ZOLK_GZIP} -9nkf ${man_dir}/${page}.1
      DEPENDS ${man_dir}/${page}.1
      COMMENT "Compressing the manual page ${page}(1)")
    list(APPEND man_outputs ${man_dir}/${page}.1.gz)
  endforeach()
  add_custom_target(zolk_man_pages ALL DEPENDS ${man_outputs})
  install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # Each command name gets its page and its completion: man and
  # bash-completion look both up by the command's name.
  set(completion_dir ${ZOLK_GEN_DIR}/completion)
  file(MAKE_DIRECTORY ${completion_dir})
  install(FILES ${CMAKE_SOURCE_DIR}/completion/zolk_qex DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  foreach(command ${ZOLK_COMMANDS})
    if(command MATCHES "^zolk_qex-")
      file(CREATE_LINK zolk_qex.1.gz ${man_dir}/${command}.1.gz SYMBOLIC)
      install(FILES ${man_dir}/${command}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
    if(NOT command STREQUAL "zolk_qex")
      file(CREATE_LINK zolk_qex ${completion_dir}/${command} SYMBOLIC)
      install(FILES ${completion_dir}/${command} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    endif()
  endforeach()

  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${ZOLK_PACKAGE_NAME})
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/report.schema.json DESTINATION ${doc_dir})
  if(ZOLK_DEBIAN_DOCS)
    # Debian keeps the licence in a copyright file of its own format, and
    # wants no second copy of it beside.
    file(READ ${CMAKE_SOURCE_DIR}/LICENSE license)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${license}")
    set(holder "${CMAKE_MATCH_1}")
    string(FIND "${license}" "Permission" start)
    string(SUBSTRING "${license}" ${start} -1 terms)
    string(STRIP "${terms}" terms)
    string(REPLACE "\n\n" "\n.\n" terms "${terms}")
    string(REPLACE "\n" "\n " terms "${terms}")
    file(WRITE ${ZOLK_GEN_DIR}/copyright
      "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
      "Upstream-Name: ${PROJECT_NAME}\n"
      "\n"
      "Files: *\n"
      "Copyright: ${holder}\n"
      "License: Expat\n"
      " ${terms}\n")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog ${ZOLK_GEN_DIR}/changelog COPYONLY)
    add_custom_command(OUTPUT ${ZOLK_GEN_DIR}/changelog.gz
      COMMAND ${ZOLK_GZIP} -9nkf ${ZOLK_GEN_DIR}/changelog
      DEPENDS ${ZOLK_GEN_DIR}/changelog)
    add_custom_target(zolk_changelog ALL DEPENDS ${ZOLK_GEN_DIR}/changelog.gz)
    install(FILES ${ZOLK_GEN_DIR}/copyright ${ZOLK_GEN_DIR}/changelog.gz DESTINATION ${doc_dir})
  else()
    install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${doc_dir})
  endif()
endif()

set(CPACK_PACKAGE_NAME ${ZOLK_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The zolk_qex developers")
set(CPACK_PACKAGE_CONTACT "The zolk_qex developers <zolk-qex@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bring up QEX chips over a serial line and program their storage")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${ZOLK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # CPack puts the summary above this text and indents it as the control
  # file wants; an empty line starts a paragraph.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "zolk_qex brings up a QEX target chip over a serial line: it loads the HSM
image and the ZOLK download-agent firmware through the chip's boot ROM,
then writes files into the chip's embedded flash and serial NOR flash,
dumps them into files, or low-formats them. Every command packet and every
2048-byte chunk carries a CRC, and a transfer is checked as a whole.

The package holds the general form (zolk_qex) and the six per-chip forms
(zolk_qex-30110, zolk_qex-30140, zolk_qex-20230, zolk_qex-30230,
zolk_qex-20360, zolk_qex-30360), and qex_sim, a simulated board on a
pseudo-terminal to try the tool without hardware.")
endif()
include(CPack)
