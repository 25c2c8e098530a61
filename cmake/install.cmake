# What `cmake --install` (and so the Debian packages) put where, under
# CMAKE_INSTALL_PREFIX (/usr for the packages).
include(GNUInstallDirs)

install(TARGETS kestrel kestrel-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

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
