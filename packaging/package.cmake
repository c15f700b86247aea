# Installed files beyond the programs, and the Debian package made from them
# with CPack (`cpack -G DEB` in the build folder, or the `package` target).
# The version is the project's (project(VERSION) in the top CMakeLists.txt).

# Manual pages, compressed as Debian wants them (gzip -n: no time stamp, so
# that two builds give the same bytes). Without gzip they are installed as
# they are.
find_program(KPM_GZIP gzip)
set(KPM_MAN_PAGES "")
foreach(program kpm ${KPM_TOOLS})
  if(EXISTS ${CMAKE_SOURCE_DIR}/docs/${program}.1)
    list(APPEND KPM_MAN_PAGES ${program})
  endif()
endforeach()
set(KPM_MAN_OUTPUTS "")
foreach(page ${KPM_MAN_PAGES})
  # The page's header names the project's version, whatever the source says.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/${page}.1)
  file(READ ${CMAKE_SOURCE_DIR}/docs/${page}.1 text)
  string(REGEX REPLACE "(\n?\\.TH [^\n]*)\"kpm [^\"\n]*\"" "\\1\"kpm ${PROJECT_VERSION}\"" text "${text}")
  file(WRITE ${CMAKE_BINARY_DIR}/man/${page}.1 "${text}")
  set(out ${CMAKE_BINARY_DIR}/man/${page}.1)
  if(KPM_GZIP)
    add_custom_command(OUTPUT ${out}.gz
      COMMAND ${KPM_GZIP} -9 -n -c ${out} > ${out}.gz
      DEPENDS ${out} VERBATIM)
    set(out ${out}.gz)
    list(APPEND KPM_MAN_OUTPUTS ${out})
  endif()
  install(FILES ${out} DESTINATION share/man/man1)
endforeach()
add_custom_target(kpm-man-pages ALL DEPENDS ${KPM_MAN_OUTPUTS})

# Bash completion: one file for every program, under each program's name so
# that bash-completion loads it on first use.
foreach(program kpm ${KPM_TOOLS})
  install(FILES ${CMAKE_SOURCE_DIR}/completion/kpm DESTINATION share/bash-completion/completions
          RENAME ${program})
endforeach()

# The guides, the examples and the README, in the layout of the source tree
# so that their links hold.
set(KPM_DOC_DIR share/doc/kpm)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${KPM_DOC_DIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${KPM_DOC_DIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${KPM_DOC_DIR}/examples)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${KPM_DOC_DIR})
set(KPM_PACKAGE_CONTACT "kpm maintainers <kpm@example.org>"
    CACHE STRING "Maintainer of the Debian package: Name <address>")
# The date of the build, or SOURCE_DATE_EPOCH's for a reproducible one.
string(TIMESTAMP KPM_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
if(KPM_GZIP)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${KPM_GZIP} -9 -n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
  add_custom_target(kpm-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${KPM_DOC_DIR})
else()
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog DESTINATION ${KPM_DOC_DIR})
endif()

# The package.
set(CPACK_PACKAGE_NAME kpm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KPM_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "electrical load analysis of a group of consumers")
set(CPACK_PACKAGE_DESCRIPTION
    "kpm works out the electrical load of a group of consumers, such as the loads of\n"
    "one zone of an installation, for every pair of an operational and an ambient\n"
    "condition: connected, load-factor and operating loads, and their ratios. It\n"
    "reads a study file (XML) and writes a CSV report.\n"
    "\n"
    "The companion programs check study files (kpm-check), convert load lists kept\n"
    "in spreadsheets to study files and back (kpm-import, kpm-export), and summarise\n"
    "a study's results on the terminal, as CSV, as a workbook and as a page with\n"
    "charts (kpm-summary).")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the programs link (libxlsxwriter's when kpm-summary uses it)
# are found by dpkg-shlibdeps (package dpkg-dev), which CPack runs on the
# files that `file` calls executables; without either, they are named here.
find_program(KPM_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(KPM_FILE_PROGRAM file)
if(KPM_DPKG_SHLIBDEPS AND KPM_FILE_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  if(XLSXWRITER_LIBRARY AND TARGET kpm-summary)
    get_filename_component(xlsx_real ${XLSXWRITER_LIBRARY} REALPATH)
    if(xlsx_real MATCHES "libxlsxwriter\\.so\\.([0-9]+)")
      string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libxlsxwriter${CMAKE_MATCH_1}")
    endif()
  endif()
endif()
# `make package_source`: the sources without build folders.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/out/")
include(CPack)
