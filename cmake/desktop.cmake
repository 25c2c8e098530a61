# The desktop program in layers. Each library links only the layers it may
# use, so a call in the wrong direction fails to link:
#   kestrel_json        the JSON codec
#   kestrel_model       the model and the settings file
#   kestrel_io          photos on disk: EXIF/XMP reading and writing, durable
#                       file replacement, the QR reader, folder listing, export
#   kestrel_net         the web service: REST client and the service's messages
#   kestrel_controller  the workflows that join them
#   kestrel_ui          windows, dialogs, widgets and the resource bundle
set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC ON)
set(CMAKE_AUTORCC ON)

kestrel_layer(kestrel_json
  SOURCES json/jsonvalue.cpp json/jsonvalue.h
  LINK Qt5::Core)

kestrel_layer(kestrel_model
  SOURCES model/model.cpp model/model.h model/photoinfo.cpp model/photoinfo.h model/failure.h
  LINK Qt5::Core)
target_link_libraries(kestrel_model PRIVATE kestrel_buildinfo)

kestrel_layer(kestrel_io
  SOURCES controller/exifinfo.cpp controller/exifinfo.h
          controller/exiftags.cpp controller/exiftags.h controller/exifwritehook.h
          controller/filereplacement.cpp controller/filereplacement.h
          controller/barcodereader.cpp controller/barcodereader.h
          controller/photolisting.cpp controller/photolisting.h
          controller/resultexport.cpp controller/resultexport.h
          controller/placetags.cpp controller/placetags.h
  LINK kestrel_model kestrel_json Qt5::Gui PkgConfig::EXIV2 ZLIB::ZLIB quirc)

# The IPTC place tags name the country by its three-letter code: the table
# from the two-letter codes is made at build time from Debian's iso-codes.
set(ISO_3166_JSON "/usr/share/iso-codes/json/iso_3166-1.json" CACHE FILEPATH "iso_3166-1.json of Debian's iso-codes")
if(NOT EXISTS "${ISO_3166_JSON}")
  message(FATAL_ERROR "${ISO_3166_JSON} is missing: install the Debian package iso-codes")
endif()
set(COUNTRY_CODES_HEADER "${CMAKE_BINARY_DIR}/_countries/countrycodes.h")
add_custom_command(OUTPUT "${COUNTRY_CODES_HEADER}"
  COMMAND "${CMAKE_COMMAND}" "-DINPUT=${ISO_3166_JSON}" "-DOUTPUT=${COUNTRY_CODES_HEADER}"
          -P "${CMAKE_SOURCE_DIR}/scripts/countrycodes.cmake"
  DEPENDS "${ISO_3166_JSON}" "${CMAKE_SOURCE_DIR}/scripts/countrycodes.cmake"
  COMMENT "Making the country code table from ${ISO_3166_JSON}"
  VERBATIM)
target_sources(kestrel_io PRIVATE "${COUNTRY_CODES_HEADER}")
target_include_directories(kestrel_io PRIVATE "${CMAKE_BINARY_DIR}/_countries")

kestrel_layer(kestrel_net
  SOURCES controller/restclient.cpp controller/restclient.h
          controller/servicemessages.cpp controller/servicemessages.h
  LINK kestrel_model kestrel_json Qt5::Network)

# A fuzzing build tests the layers above alone.
if(KESTREL_FUZZ)
  return()
endif()

kestrel_layer(kestrel_controller
  SOURCES controller/maincontroller.cpp controller/maincontroller.h controller/runmap.cpp
          controller/desktopservice.cpp controller/servicestatus.h controller/accountlink.cpp
          controller/launcher.cpp controller/launcher.h
          controller/serviceinstall.cpp controller/serviceinstall.h
          controller/placement.cpp controller/placement.h
          controller/selftest.cpp controller/selftest.h
          controller/commandline.cpp controller/commandline.h
  LINK kestrel_io kestrel_net)
target_link_libraries(kestrel_controller PRIVATE kestrel_buildinfo)

file(GLOB view_sources CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}
  ${CMAKE_SOURCE_DIR}/view/*.cpp ${CMAKE_SOURCE_DIR}/view/*.h ${CMAKE_SOURCE_DIR}/view/*.ui)
kestrel_layer(kestrel_ui
  SOURCES ${view_sources}
  LINK kestrel_controller Qt5::Widgets Qt5::Svg PkgConfig::QRENCODE
  PRIVATE Marble)
target_link_libraries(kestrel_ui PRIVATE kestrel_buildinfo)
set_target_properties(kestrel_ui PROPERTIES AUTOUIC_SEARCH_PATHS ${CMAKE_SOURCE_DIR}/view)
set(KESTREL_RESOURCE_TARGET kestrel_ui)
# The desktop integration files first: the bundle holds the application icon.
include(${CMAKE_CURRENT_LIST_DIR}/desktopfiles.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/resources.cmake)

add_executable(kestrel main.cpp)
# Resources in a static library must be pulled in explicitly (view::initResources).
target_link_libraries(kestrel PRIVATE kestrel_ui kestrel_buildinfo kestrel_warnings)
