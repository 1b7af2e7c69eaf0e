# Install rules for everything that is not a compiled program: the session
# scripts, the desktop entry, the systemd units, the manual pages and the
# package's documentation. The scripts, the desktop entry and the units name
# the driver by the absolute path it is installed under, because neither a
# desktop session's PATH nor systemd's search path need to hold the prefix.

set(DRVVZT_INSTALLED_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(DRVVZT_INSTALLED_DATADIR ${CMAKE_INSTALL_FULL_DATADIR})

# Debian 12 keeps system units under /lib (not the /usr/lib alias) so that
# dpkg's file ownership stays exact; any other prefix keeps them below itself,
# where systemd looks as well for /usr/local.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(drvvzt_system_unit_default /lib/systemd/system)
else()
  set(drvvzt_system_unit_default ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(DRVVZT_SYSTEMD_SYSTEM_UNIT_DIR ${drvvzt_system_unit_default}
    CACHE PATH "Where drvvzt@.service is installed")
set(DRVVZT_SYSTEMD_USER_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/user
    CACHE PATH "Where the user unit drvvzt.service is installed")
set(DRVVZT_SYSUSERS_DIR ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d
    CACHE PATH "Where the drvvzt account's sysusers.d entry is installed")

set(drvvzt_data_out ${PROJECT_BINARY_DIR}/data)
foreach(template drvvzt-session drvvzt-autostart drvvzt.desktop drvvzt.service drvvzt@.service)
  configure_file(${PROJECT_SOURCE_DIR}/data/${template}.in ${drvvzt_data_out}/${template} @ONLY)
endforeach()

install(PROGRAMS ${drvvzt_data_out}/drvvzt-session ${drvvzt_data_out}/drvvzt-autostart
        DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${drvvzt_data_out}/drvvzt.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/drvvzt.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/data/99-drvvzt-station.rules DESTINATION ${CMAKE_INSTALL_DATADIR}/drvvzt)
install(FILES ${drvvzt_data_out}/drvvzt.service DESTINATION ${DRVVZT_SYSTEMD_USER_UNIT_DIR})
install(FILES ${drvvzt_data_out}/drvvzt@.service DESTINATION ${DRVVZT_SYSTEMD_SYSTEM_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/drvvzt.sysusers DESTINATION ${DRVVZT_SYSUSERS_DIR}
        RENAME drvvzt.conf)

# Manual pages and the changelog are compressed the way Debian ships them
# (-n: no name or time stamp inside, so two builds give the same bytes).
function(drvvzt_gzip_file source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9n -c ${source} > ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()

file(GLOB drvvzt_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/data/man/*.1)
set(drvvzt_compressed_docs)
foreach(page IN LISTS drvvzt_man_pages)
  get_filename_component(page_name ${page} NAME)
  drvvzt_gzip_file(${page} ${drvvzt_data_out}/man/${page_name}.gz)
  install(FILES ${drvvzt_data_out}/man/${page_name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  list(APPEND drvvzt_compressed_docs ${drvvzt_data_out}/man/${page_name}.gz)
endforeach()
file(MAKE_DIRECTORY ${drvvzt_data_out}/man)

drvvzt_gzip_file(${PROJECT_SOURCE_DIR}/data/debian/changelog ${drvvzt_data_out}/changelog.Debian.gz)
list(APPEND drvvzt_compressed_docs ${drvvzt_data_out}/changelog.Debian.gz)
add_custom_target(drvvzt_compressed_docs ALL DEPENDS ${drvvzt_compressed_docs})

install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright ${drvvzt_data_out}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/drvvzt.ini DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
