# Manual pages, the AppStream metainfo file and the Debian package (CPack's DEB generator):
# `scripts/package.sh` builds build/package/kivo_<version>_<arch>.deb from the release tree.

# Manual pages are installed compressed, as Debian keeps them.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(KIVO_MAN_PAGES kivo-run.6)
if(KIVO_BUILD_APP)
  list(APPEND KIVO_MAN_PAGES kivo.6)
endif()
foreach(page ${KIVO_MAN_PAGES})
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_SOURCE_DIR}/data/${page} > ${compressed}
    DEPENDS ${CMAKE_SOURCE_DIR}/data/${page} VERBATIM)
  list(APPEND KIVO_MAN_OUTPUTS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${KIVO_MAN_OUTPUTS})
if(KIVO_BUILD_APP)
  install(FILES ${CMAKE_SOURCE_DIR}/data/kivo.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
          RENAME io.github.kivo.Kivo.metainfo.xml)
endif()

# cpack packs what the tree has built; it does not build first (the package script does), so
# that packing an up-to-date tree, as the package test does, rebuilds nothing.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Game Boy and Game Boy Color emulator")
set(CPACK_PACKAGE_DESCRIPTION
    "KIVO plays Game Boy and Game Boy Color cartridges in a Qt window with sound through SDL2:\n\
machine states, quick save slots, rewind, fast-forward, screenshots and a debugger.\n\
kivo-run runs cartridges headless for tests, recordings and benchmarks.")
set(CPACK_PACKAGE_CONTACT "KIVO developers <kivo@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's icon is an SVG, drawn by Qt's SVG image plugin, which nothing links.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libqt6svg6)
include(CPack)
