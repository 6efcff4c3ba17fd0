# Debian wants man pages compressed, without a time stamp in the archive: install_man_page()
# compresses a page at build time and installs the .gz into man1 as part of a component.
include(GNUInstallDirs)
find_program(GZIP_PROGRAM gzip REQUIRED)

function(install_man_page source component)
  get_filename_component(name ${source} NAME)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} > ${compressed}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source}
    COMMENT "Compressing the ${name} man page")
  add_custom_target(${component}_man_page ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
