# What `cmake --install` (and so the Debian packages) put where, under
# CMAKE_INSTALL_PREFIX (/usr for the packages).
include(GNUInstallDirs)

install(TARGETS kestrel kestrel-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The layers' shared libraries: private to the programs, unversioned.
get_property(_layers GLOBAL PROPERTY KESTREL_LAYERS)
install(TARGETS ${_layers} LIBRARY DESTINATION ${KESTREL_INSTALL_LIBDIR})

# The web service under systemd (service/systemd/): a user unit that runs it
# in the person's session with the person's database, a system unit with its
# own user for servers and its configuration file, and a template unit
# kestrel-service@PORT for several instances on one PostgreSQL database,
# made from the system unit so that both keep the same hardening.
set(_units "${CMAKE_SOURCE_DIR}/service/systemd")
file(READ "${_units}/kestrel-service.service" _unit)
string(REPLACE "Description=Kestrel web service\n" "Description=Kestrel web service (port %i)\n" _template "${_unit}")
string(REPLACE "$KESTREL_SERVE_OPTIONS\n" "$KESTREL_SERVE_OPTIONS --port %i\n" _template "${_template}")
if(_template STREQUAL _unit OR NOT _template MATCHES "--port %i\n" OR NOT _template MATCHES "port %i\\)")
  message(FATAL_ERROR "service/systemd/kestrel-service.service: the template unit could not be made from it")
endif()
file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/systemd/kestrel-service@.service" CONTENT "${_template}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_units}/kestrel-service.service")

# Where the distribution keeps units (Debian 12: system units in
# /lib/systemd/system) when installing into /usr; under any other prefix.
set(_system_units "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
set(_user_units "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
set(_sysusers "${CMAKE_INSTALL_PREFIX}/lib/sysusers.d")
pkg_check_modules(SYSTEMD QUIET systemd)
if(SYSTEMD_FOUND AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  pkg_get_variable(_system_units systemd systemdsystemunitdir)
  pkg_get_variable(_user_units systemd systemduserunitdir)
  pkg_get_variable(_sysusers systemd sysusersdir)
endif()
install(FILES "${_units}/kestrel-service.user.service" DESTINATION "${_user_units}" RENAME kestrel-service.service)
install(FILES "${_units}/kestrel-service.service" "${CMAKE_BINARY_DIR}/systemd/kestrel-service@.service"
        DESTINATION "${_system_units}")
install(FILES "${_units}/kestrel-service.conf" DESTINATION "${CMAKE_INSTALL_FULL_SYSCONFDIR}/kestrel")
install(FILES "${_units}/kestrel-service.sysusers" DESTINATION "${_sysusers}" RENAME kestrel-service.conf)

# Man pages: hand-written roff (docs/man), with the version and its date
# filled in; the packaging compresses them.
install(FILES ${KESTREL_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Desktop integration (cmake/desktopfiles.cmake): the menu entry, the icon in
# the hicolor theme (the SVG and the PNG sizes rendered at build time), the
# AppStream description and the MIME type of NMEA logs.
install(FILES ${KESTREL_DESKTOP_SOURCE_DIR}/${KESTREL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KESTREL_DESKTOP_SOURCE_DIR}/${KESTREL_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size IN LISTS KESTREL_ICON_SIZES)
  install(FILES ${KESTREL_ICON_DIR}/${size}x${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME ${KESTREL_APP_ID}.png)
endforeach()
install(FILES ${KESTREL_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${KESTREL_DESKTOP_SOURCE_DIR}/${KESTREL_APP_ID}.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
