# Tarballs of npm packages that the build uses (sources or data, never
# committed) are fetched with `npm pack` into a cache folder outside the
# source tree and checked against the registry's published integrity.

include_guard(GLOBAL)

if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_npm_cache "$ENV{XDG_CACHE_HOME}/kestrel")
elseif(DEFINED ENV{HOME})
  set(_npm_cache "$ENV{HOME}/.cache/kestrel")
else()
  set(_npm_cache "${CMAKE_BINARY_DIR}/_downloads")
endif()
set(QUIRC_DOWNLOAD_DIR "${_npm_cache}" CACHE PATH "Where fetched npm tarballs are kept between builds")

function(_npm_tarball_verified path sha512 result)
  set(${result} FALSE PARENT_SCOPE)
  if(EXISTS "${path}")
    file(SHA512 "${path}" _digest)
    if(_digest STREQUAL sha512)
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

# Sets out to the path of the verified tarball of package (name@version),
# whose file name npm pack gives as file_name; local_copy, when not empty, is
# used instead of fetching. Stops the configuration when the digest differs.
function(kestrel_npm_tarball out package file_name sha512 local_copy)
  if(local_copy)
    set(_tarball "${local_copy}")
  else()
    set(_tarball "${QUIRC_DOWNLOAD_DIR}/${file_name}")
    _npm_tarball_verified("${_tarball}" "${sha512}" _ok)
    if(NOT _ok)
      find_program(NPM_EXECUTABLE npm REQUIRED)
      file(MAKE_DIRECTORY "${QUIRC_DOWNLOAD_DIR}")
      file(REMOVE "${_tarball}")
      message(STATUS "Fetching ${package} with npm pack")
      execute_process(COMMAND "${NPM_EXECUTABLE}" pack "${package}" --silent
                      WORKING_DIRECTORY "${QUIRC_DOWNLOAD_DIR}"
                      RESULT_VARIABLE _rc OUTPUT_QUIET)
      if(NOT _rc EQUAL 0)
        message(FATAL_ERROR "npm pack ${package} failed (${_rc})")
      endif()
    endif()
  endif()
  _npm_tarball_verified("${_tarball}" "${sha512}" _ok)
  if(NOT _ok)
    message(FATAL_ERROR "${_tarball} does not match the published sha512 of ${package}; refusing to use it")
  endif()
  set(${out} "${_tarball}" PARENT_SCOPE)
endfunction()
