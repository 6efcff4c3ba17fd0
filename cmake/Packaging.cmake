# Debian packages, one per component: `cpack -G DEB` in a build folder (or
# scripts/package.sh) makes tavrel_<version>_<arch>.deb and catalogd_<version>_<arch>.deb.
# Every client install rule says COMPONENT tavrel, every server rule COMPONENT catalogd.
#
# Linked libraries become dependencies through dpkg-shlibdeps; what is only loaded at run time
# (plugins, translations, fonts) is named by hand below.
include(GNUInstallDirs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrel)
set(CPACK_PACKAGE_VENDOR "the Tavrel developers")
set(CPACK_PACKAGE_CONTACT "The Tavrel developers <developers@tavrel.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL tavrel catalogd)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TAVREL_PACKAGE_NAME tavrel)
set(CPACK_DEBIAN_TAVREL_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TAVREL_DESCRIPTION
  "client for a catalogue of software add-ons\n\
Tavrel browses a remote catalogue of downloadable software add-ons page by\n\
page, searches it and downloads an item into a folder of its own. An\n\
administrator reviews, approves and deletes items.")
# Loaded at run time: the window-system plugins, the sound back-end (FFmpeg, in
# libqt6multimedia6), Qt's Chinese texts and glyphs for the window's Chinese.
set(CPACK_DEBIAN_TAVREL_PACKAGE_DEPENDS
  "qt6-qpa-plugins, libqt6multimedia6, qt6-translations-l10n, fonts-wqy-microhei | fonts-noto-cjk")

set(CPACK_DEBIAN_CATALOGD_PACKAGE_NAME catalogd)
set(CPACK_DEBIAN_CATALOGD_PACKAGE_SECTION net)
set(CPACK_COMPONENT_CATALOGD_DESCRIPTION
  "reference server for the Tavrel add-on catalogue\n\
catalogd serves the catalogue that the Tavrel client browses: list pages,\n\
administration, item files and an upload page, stored in SQLite or\n\
PostgreSQL.")
# Qt SQL drivers are plugins, loaded by name: SQLite by default, PostgreSQL when configured.
set(CPACK_DEBIAN_CATALOGD_PACKAGE_DEPENDS "libqt6sql6-sqlite, libqt6sql6-psql")
# The settings in /etc are the administrator's to edit: dpkg keeps their edits on upgrade.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(conffiles ${CMAKE_CURRENT_BINARY_DIR}/packaging/catalogd/conffiles)
  file(WRITE ${conffiles} "${CMAKE_INSTALL_FULL_SYSCONFDIR}/catalogd.conf\n"
                         "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/catalogd\n")
  set(CPACK_DEBIAN_CATALOGD_PACKAGE_CONTROL_EXTRA ${conffiles})
endif()

# Every Debian package carries its licence as /usr/share/doc/<package>/copyright (the client's
# rules install its own) and a compressed changelog beside it.
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/catalogd COMPONENT catalogd)
set(changelogs)
foreach(package tavrel catalogd)
  set(plain ${CMAKE_CURRENT_BINARY_DIR}/packaging/${package}/changelog)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${plain} @ONLY)
  add_custom_command(
    OUTPUT ${plain}.gz
    COMMAND ${GZIP_PROGRAM} -9 -n -f -k ${plain}
    DEPENDS ${plain}
    COMMENT "Compressing the ${package} changelog")
  list(APPEND changelogs ${plain}.gz)
  install(FILES ${plain}.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${package})
endforeach()
add_custom_target(package_docs ALL DEPENDS ${changelogs})

include(CPack)
