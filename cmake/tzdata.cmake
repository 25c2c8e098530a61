# The time zone of a position comes from the boundary data of the npm package
# @photostructure/tz-lookup (a quadtree of timezone-boundary-builder's zones).
# Like quirc, its tarball is fetched with `npm pack`, checked against the
# registry's published integrity and never committed. At configure time the
# quadtree and the zone names are copied out of its tz.js into a generated
# C++ include, so the service carries them compiled in and reads them in place.

set(TZDATA_NPM_PACKAGE "@photostructure/tz-lookup@11.7.0")
set(TZDATA_TARBALL_NAME "photostructure-tz-lookup-11.7.0.tgz")
# npm integrity: sha512-QbKHXvleluMIlAHf2JiQTJNU5rLQBeQhLobyRqgXZ6NNGKqNikaRkjYviJ4nMU7Y75QE7bBYM8xjiFGjAukyhw==
set(TZDATA_SHA512 "41b2875ef95e96e3089401dfd898904c9354e6b2d005e4212e86f246a81767a34d18aa8d8a469192362f889e27314ed8ef9404edb05833cc638851a302e93287")

set(TZDATA_TARBALL "" CACHE FILEPATH "A local copy of ${TZDATA_TARBALL_NAME}; empty: fetch it with npm pack")
include(${CMAKE_CURRENT_LIST_DIR}/npmtarball.cmake)
kestrel_npm_tarball(_tz_tarball "${TZDATA_NPM_PACKAGE}" "${TZDATA_TARBALL_NAME}" "${TZDATA_SHA512}" "${TZDATA_TARBALL}")

set(TZDATA_DIR "${CMAKE_BINARY_DIR}/_tzdata")
set(TZDATA_INCLUDE "${TZDATA_DIR}/tzdata.inc")
set(_tz_stamp "${TZDATA_DIR}/converted-${TZDATA_SHA512}")
if(NOT EXISTS "${_tz_stamp}" OR NOT EXISTS "${TZDATA_INCLUDE}")
  file(REMOVE_RECURSE "${TZDATA_DIR}")
  file(MAKE_DIRECTORY "${TZDATA_DIR}")
  file(ARCHIVE_EXTRACT INPUT "${_tz_tarball}" DESTINATION "${TZDATA_DIR}" PATTERNS "package/tz.js")
  file(READ "${TZDATA_DIR}/package/tz.js" _js)
  # The quadtree: two characters '#'..'Z' per node, 56 * a + b.
  if(NOT _js MATCHES "var X=\"([#-Z]+)\"")
    message(FATAL_ERROR "tz.js of ${TZDATA_NPM_PACKAGE}: no quadtree found")
  endif()
  set(_grid "${CMAKE_MATCH_1}")
  if(NOT _js MATCHES "T=\\[(\"[^]]+\")\\]")
    message(FATAL_ERROR "tz.js of ${TZDATA_NPM_PACKAGE}: no zone list found")
  endif()
  set(_names "${CMAKE_MATCH_1}")
  if(_names MATCHES "[\\\\]")
    message(FATAL_ERROR "tz.js of ${TZDATA_NPM_PACKAGE}: unexpected escapes in the zone list")
  endif()
  string(LENGTH "${_grid}" _grid_length)
  # Long literals are split in lines of 4000 characters.
  set(_chunks "")
  set(_at 0)
  while(_at LESS _grid_length)
    string(SUBSTRING "${_grid}" ${_at} 4000 _piece)
    string(APPEND _chunks "    \"${_piece}\"\n")
    math(EXPR _at "${_at} + 4000")
  endwhile()
  string(REPLACE "," ",\n    " _names "${_names}")
  file(WRITE "${TZDATA_INCLUDE}.tmp"
    "// Generated from ${TZDATA_NPM_PACKAGE} by cmake/tzdata.cmake; do not edit.\n"
    "constexpr size_t tzGridLength = ${_grid_length};\n"
    "static const char tzGrid[] =\n${_chunks};\n"
    "static const char* const tzNames[] = {\n    ${_names}\n};\n")
  file(RENAME "${TZDATA_INCLUDE}.tmp" "${TZDATA_INCLUDE}")
  file(REMOVE_RECURSE "${TZDATA_DIR}/package")
  file(TOUCH "${_tz_stamp}")
endif()
