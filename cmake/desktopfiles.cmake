# The desktop integration files in assets/desktop, named by the application
# id KESTREL_APP_ID: the menu entry (.desktop), the icon, the AppStream
# description (.metainfo.xml) and the MIME type of NMEA logs. cmake/install.cmake
# installs them; the test desktop_files validates them.
#
# The icon is drawn as SVG; the PNG sizes of the hicolor theme are rendered
# from it at build time into the resource bundle's folder, where the bundle
# picks them up for the window icon (view::setApplicationIdentity) and the
# install rules take them from.
#   KESTREL_DESKTOP_SOURCE_DIR  assets/desktop
#   KESTREL_ICON_SIZES          the square sizes rendered, in pixels
#   KESTREL_ICON_DIR            the folder they are rendered to, bundle/appicon
#   KESTREL_ICON_PNGS           the rendered files, <size>x<size>.png there
#   KESTREL_METAINFO            the configured AppStream file in the build folder

find_program(RSVG_CONVERT rsvg-convert REQUIRED)

set(KESTREL_DESKTOP_SOURCE_DIR ${CMAKE_SOURCE_DIR}/assets/desktop)
set(KESTREL_ICON_SIZES 16 22 24 32 48 64 128 256)
set(KESTREL_ICON_DIR ${CMAKE_BINARY_DIR}/bundle/appicon)
set(KESTREL_ICON_PNGS "")
set(icon_svg ${KESTREL_DESKTOP_SOURCE_DIR}/${KESTREL_APP_ID}.svg)
foreach(size IN LISTS KESTREL_ICON_SIZES)
  set(png ${KESTREL_ICON_DIR}/${size}x${size}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTREL_ICON_DIR}
    COMMAND ${RSVG_CONVERT} --format=png --width=${size} --height=${size} --output=${png} ${icon_svg}
    DEPENDS ${icon_svg}
    COMMENT "Rendering the ${size}x${size} application icon"
    VERBATIM)
  list(APPEND KESTREL_ICON_PNGS ${png})
endforeach()

# The screenshots of the AppStream file are the repository's own pictures,
# addressed by their raw URL on the project's home.
if(KESTREL_HOMEPAGE MATCHES "^https://github\\.com/([^/]+)/([^/]+)/?$")
  set(KESTREL_SCREENSHOTS "https://raw.githubusercontent.com/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}/main/docs/screenshots")
else()
  set(KESTREL_SCREENSHOTS "${KESTREL_HOMEPAGE}/raw/main/docs/screenshots")
endif()
string(REGEX REPLACE "/$" "" KESTREL_BUGTRACKER "${KESTREL_HOMEPAGE}")
set(KESTREL_BUGTRACKER "${KESTREL_BUGTRACKER}/issues")

# The release is the newest entry of debian/changelog: configure again when it changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/debian/changelog)
set(KESTREL_METAINFO ${CMAKE_BINARY_DIR}/desktop/${KESTREL_APP_ID}.metainfo.xml)
configure_file(${KESTREL_DESKTOP_SOURCE_DIR}/${KESTREL_APP_ID}.metainfo.xml.in ${KESTREL_METAINFO} @ONLY)
