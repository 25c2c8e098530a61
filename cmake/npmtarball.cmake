# Tarballs of npm packages that the build uses (sources or data, never
# committed) are pinned in scripts/npm-sources.txt, fetched by
# scripts/fetch-sources.sh into a cache folder outside the source tree and
# checked against their sha512 here before use.

include_guard(GLOBAL)

if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_npm_cache "$ENV{XDG_CACHE_HOME}/kestrel")
elseif(DEFINED ENV{HOME})
  set(_npm_cache "$ENV{HOME}/.cache/kestrel")
else()
  set(_npm_cache "${CMAKE_BINARY_DIR}/_downloads")
endif()
set(KESTREL_NPM_CACHE "${_npm_cache}" CACHE PATH "Where fetched npm tarballs are kept between builds")
option(KESTREL_FETCH "Fetch a missing npm tarball (scripts/fetch-sources.sh); OFF: stop instead" ON)

set(_npm_manifest "${CMAKE_CURRENT_LIST_DIR}/../scripts/npm-sources.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_npm_manifest}")

function(_npm_tarball_verified path sha512 result)
  set(${result} FALSE PARENT_SCOPE)
  if(EXISTS "${path}")
    file(SHA512 "${path}" _digest)
    if(_digest STREQUAL sha512)
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

# Sets out to the path of the verified tarball of package (name@version, as
# scripts/npm-sources.txt names it) and out_SHA512 to its digest; local_copy,
# when not empty, is used instead of the cache. Stops the configuration when
# the tarball is missing and may not be fetched, or its digest differs.
function(kestrel_npm_tarball out package local_copy)
  file(STRINGS "${_npm_manifest}" _lines REGEX "^[^#]")
  set(_file "")
  foreach(_line IN LISTS _lines)
    string(REGEX MATCH "^([^ ]+) ([^ ]+) ([0-9a-f]+)$" _ "${_line}")
    if(CMAKE_MATCH_1 STREQUAL package)
      set(_file "${CMAKE_MATCH_2}")
      set(_sha512 "${CMAKE_MATCH_3}")
    endif()
  endforeach()
  if(NOT _file)
    message(FATAL_ERROR "${package} is not pinned in scripts/npm-sources.txt")
  endif()

  if(local_copy)
    set(_tarball "${local_copy}")
  else()
    set(_tarball "${KESTREL_NPM_CACHE}/${_file}")
    _npm_tarball_verified("${_tarball}" "${_sha512}" _ok)
    if(NOT _ok AND NOT KESTREL_FETCH)
      message(FATAL_ERROR "${_tarball} is missing; fetch it first: scripts/fetch-sources.sh --cache ${KESTREL_NPM_CACHE}")
    elseif(NOT _ok)
      execute_process(COMMAND bash "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../scripts/fetch-sources.sh"
                              --cache "${KESTREL_NPM_CACHE}" "${package}"
                      RESULT_VARIABLE _rc)
      if(NOT _rc EQUAL 0)
        message(FATAL_ERROR "scripts/fetch-sources.sh could not fetch ${package} (${_rc})")
      endif()
    endif()
  endif()
  _npm_tarball_verified("${_tarball}" "${_sha512}" _ok)
  if(NOT _ok)
    message(FATAL_ERROR "${_tarball} does not match the pinned sha512 of ${package}; refusing to use it")
  endif()
  set(${out} "${_tarball}" PARENT_SCOPE)
  set(${out}_SHA512 "${_sha512}" PARENT_SCOPE)
endfunction()
