# quirc, the QR decoder, is not packaged by Debian. The npm package node-quirc
# carries its C sources; we fetch that tarball with `npm pack`, verify it against
# the registry's published integrity and compile the C files as a static
# library inside the build tree. Nothing of it is ever committed.

set(QUIRC_NPM_PACKAGE "node-quirc@2.3.0")
set(QUIRC_TARBALL_NAME "node-quirc-2.3.0.tgz")
# npm integrity: sha512-rhuAoXLF1cnxLY0wuHiENZiU5cqqY93X6i5XEmdNyncTAQg7vCSN58Fhu1riCpcN9CoZE94wuidOuaPPUf1ilQ==
# (the same digest in hex, as CMake's file(SHA512) prints it)
set(QUIRC_SHA512 "ae1b80a172c5d5c9f12d8d30b87884359894e5caaa63ddd7ea2e5712674dca771301083bbc248de7c161bb5ae20a970df42a1913de30ba274eb9a3cf51fd6295")

set(QUIRC_TARBALL "" CACHE FILEPATH "A local copy of ${QUIRC_TARBALL_NAME}; empty: fetch it with npm pack")
if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_quirc_cache "$ENV{XDG_CACHE_HOME}/kestrel")
elseif(DEFINED ENV{HOME})
  set(_quirc_cache "$ENV{HOME}/.cache/kestrel")
else()
  set(_quirc_cache "${CMAKE_BINARY_DIR}/_downloads")
endif()
set(QUIRC_DOWNLOAD_DIR "${_quirc_cache}" CACHE PATH "Where the fetched quirc tarball is kept between builds")

function(_quirc_verified path result)
  set(${result} FALSE PARENT_SCOPE)
  if(EXISTS "${path}")
    file(SHA512 "${path}" _digest)
    if(_digest STREQUAL QUIRC_SHA512)
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

if(QUIRC_TARBALL)
  set(_tarball "${QUIRC_TARBALL}")
else()
  set(_tarball "${QUIRC_DOWNLOAD_DIR}/${QUIRC_TARBALL_NAME}")
  _quirc_verified("${_tarball}" _ok)
  if(NOT _ok)
    find_program(NPM_EXECUTABLE npm REQUIRED)
    file(MAKE_DIRECTORY "${QUIRC_DOWNLOAD_DIR}")
    file(REMOVE "${_tarball}")
    message(STATUS "Fetching ${QUIRC_NPM_PACKAGE} with npm pack")
    execute_process(COMMAND "${NPM_EXECUTABLE}" pack "${QUIRC_NPM_PACKAGE}" --silent
                    WORKING_DIRECTORY "${QUIRC_DOWNLOAD_DIR}"
                    RESULT_VARIABLE _rc OUTPUT_QUIET)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "npm pack ${QUIRC_NPM_PACKAGE} failed (${_rc})")
    endif()
  endif()
endif()

_quirc_verified("${_tarball}" _ok)
if(NOT _ok)
  message(FATAL_ERROR "${_tarball} does not match the published sha512 of ${QUIRC_NPM_PACKAGE}; refusing to build it")
endif()

set(QUIRC_SOURCE_DIR "${CMAKE_BINARY_DIR}/_quirc/package/deps/quirc")
set(_stamp "${CMAKE_BINARY_DIR}/_quirc/unpacked-${QUIRC_SHA512}")
file(GLOB _patches CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/cmake/quirc-*.patch")
set(_unpack FALSE)
if(NOT _unpack)
  foreach(_patch IN LISTS _patches)
    if("${_patch}" IS_NEWER_THAN "${_stamp}")
      set(_unpack TRUE)
    endif()
  endforeach()
endif()
if(NOT EXISTS "${_stamp}" OR _unpack)
  file(REMOVE_RECURSE "${CMAKE_BINARY_DIR}/_quirc")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/_quirc")
  file(ARCHIVE_EXTRACT INPUT "${_tarball}" DESTINATION "${CMAKE_BINARY_DIR}/_quirc"
       PATTERNS "package/deps/quirc/*")
  # Our own fixes to the unpacked sources, applied in name order:
  #   quirc-0001-otsu-64-bit-sums.patch: otsu() in identify.c sums gray levels
  #     in 32-bit integers, which overflow once width x height x mean gray passes
  #     2^31 (a 24 MP photo brighter than about 89 on average), so the global
  #     threshold comes out wrong and no code is found. The sums become 64-bit.
  #   quirc-0002-resize-first-buffer.patch: quirc_resize() copies the old buffer
  #     with memcpy even on the first call, when there is none (a null pointer,
  #     undefined even for zero bytes), and multiplies the sizes in int. It now
  #     copies only when there is something to copy and multiplies in size_t.
  #   quirc-0003-resize-keeps-large-buffers.patch: quirc_resize() allocates
  #     new buffers (a 24 MP photo: 24 MB of image, 48 MB of labels) on every
  #     call; it now keeps buffers that are large enough, so one decoder serves
  #     every pass over a photo with a single allocation.
  foreach(_patch IN LISTS _patches)
    execute_process(COMMAND patch -p1 --forward --batch -i "${_patch}"
                    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}/_quirc/package"
                    RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "Applying ${_patch} to quirc failed")
    endif()
  endforeach()
  file(TOUCH "${_stamp}")
endif()

add_library(quirc STATIC
  "${QUIRC_SOURCE_DIR}/decode.c"
  "${QUIRC_SOURCE_DIR}/identify.c"
  "${QUIRC_SOURCE_DIR}/quirc.c"
  "${QUIRC_SOURCE_DIR}/version_db.c")
# The package's own build sets this; with quirc's default of 254 labels it finds
# almost no code in a real photo.
target_compile_definitions(quirc PUBLIC QUIRC_MAX_REGIONS=65534)
target_include_directories(quirc SYSTEM PUBLIC "${QUIRC_SOURCE_DIR}")
set_target_properties(quirc PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON
  AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
target_compile_options(quirc PRIVATE -w)
target_link_libraries(quirc PRIVATE m)
