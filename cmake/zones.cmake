# The time zone of a position comes from the boundary data of the npm package
# geo-tz (MIT, Evan Siroky), built from timezone-boundary-builder's zones
# (ODbL, © OpenStreetMap contributors): its "alike since 1970" product, a
# quadtree (data/timezones-1970.geojson.index.json) over geobuf-encoded
# polygons (.geo.dat). Like quirc, its tarball is fetched by scripts/fetch-sources.sh,
# checked against its pinned sha512 and never committed.
# At build time kestrel-zoneconvert (scripts/zoneconvert) turns the two files
# into the service's own grid and trees (service/zoneblob.h), which
# service/tzlookup.cpp embeds with the assembler's .incbin and reads in place.
#
# Sets ZONES_DIR, the folder of the generated zonedata.h, and ZONES_HEADER.

set(ZONES_NPM_PACKAGE "geo-tz@8.1.9")

set(ZONES_TARBALL "" CACHE FILEPATH "A local copy of the tarball of ${ZONES_NPM_PACKAGE}; empty: the cached one")
include(${CMAKE_CURRENT_LIST_DIR}/npmtarball.cmake)
kestrel_npm_tarball(_zones_tarball "${ZONES_NPM_PACKAGE}" "${ZONES_TARBALL}")

# The converter runs during the build: optimised and without the sanitizers
# or fuzzing options whatever the build type, so that it takes seconds.
add_executable(kestrel-zoneconvert
  ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/main.cpp
  ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/blobfile.cpp ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/blobfile.h
  ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/geobuf.cpp ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/geobuf.h
  ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/zonetree.cpp ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/zonetree.h
  ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/zoneleaf.cpp ${CMAKE_SOURCE_DIR}/scripts/zoneconvert/cells.h
  ${CMAKE_SOURCE_DIR}/service/zoneblob.h)
set_target_properties(kestrel-zoneconvert PROPERTIES COMPILE_OPTIONS "" LINK_OPTIONS "")
target_compile_options(kestrel-zoneconvert PRIVATE -O2)
target_include_directories(kestrel-zoneconvert PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(kestrel-zoneconvert PRIVATE nlohmann_json::nlohmann_json kestrel_warnings)

set(ZONES_DIR "${CMAKE_BINARY_DIR}/_zones")
set(ZONES_DATA "${ZONES_DIR}/zones.bin")
set(ZONES_HEADER "${ZONES_DIR}/zonedata.h")
set(_zones_product "package/data/timezones-1970.geojson")
file(MAKE_DIRECTORY "${ZONES_DIR}")
add_custom_command(OUTPUT "${ZONES_DATA}" "${ZONES_HEADER}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf package
  COMMAND "${CMAKE_COMMAND}" -E tar xzf "${_zones_tarball}" "${_zones_product}.index.json" "${_zones_product}.geo.dat"
  COMMAND kestrel-zoneconvert "${_zones_product}.index.json" "${_zones_product}.geo.dat" "${ZONES_DATA}" "${ZONES_HEADER}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf package
  WORKING_DIRECTORY "${ZONES_DIR}"
  DEPENDS kestrel-zoneconvert "${_zones_tarball}"
  COMMENT "Converting the time zone boundaries of ${ZONES_NPM_PACKAGE}"
  VERBATIM)
