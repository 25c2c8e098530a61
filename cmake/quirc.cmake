# quirc, the QR decoder, is not packaged by Debian. The npm package node-quirc
# carries its C sources; we fetch that tarball (scripts/fetch-sources.sh), verify it against
# its pinned sha512 and compile the C files as a static
# library inside the build tree. Nothing of it is ever committed.

set(QUIRC_NPM_PACKAGE "node-quirc@2.3.0")

set(QUIRC_TARBALL "" CACHE FILEPATH "A local copy of the tarball of ${QUIRC_NPM_PACKAGE}; empty: the cached one")
include(${CMAKE_CURRENT_LIST_DIR}/npmtarball.cmake)
kestrel_npm_tarball(_tarball "${QUIRC_NPM_PACKAGE}" "${QUIRC_TARBALL}")
set(QUIRC_SHA512 "${_tarball_SHA512}")

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
  #   quirc-0004-alignment-search-bounded.patch: find_alignment_pattern()
  #     spirals around its estimate over an area a hundred modules large, the
  #     module size taken from three capstones. False capstones in a noisy
  #     photo give modules of millions of pixels (and int overflows), and the
  #     search then took seconds. A grid whose module could not fit the image
  #     25 times across is skipped, and the sizes are computed in 64 bits.
  #   quirc-0005-finder-scan-by-change-masks.patch: finder_scan() walked each
  #     row a pixel at a time with a branch on every colour; in a noisy photo
  #     the branch is mispredicted at almost every pixel. It now takes 64
  #     pixels at a time as a bit mask of colour changes and visits only the
  #     changes. It tests the same candidates in the same order, so quirc
  #     finds exactly what it found before.
  #   quirc-0006-flood-fill-prefetch.patch: the flood fill wanders over the
  #     whole label map (48 MB for a 24 MP photo) when a noisy photo has large
  #     dark regions, and waited on memory at nearly every span. It now asks
  #     for the rows around a span before filling it.
  #   quirc-0007-mapped-points-in-range.patch: a ring whose corners lie on
  #     a line gives a perspective transform that divides by zero;
  #     perspective_map() then turned NaN or values beyond int into int
  #     (undefined; on x86 INT_MIN, whose differences and products overflowed
  #     when such a "capstone" was grouped into a grid). Mapped points now
  #     stay within 2^24 pixels, outside the image where every reader of
  #     pixels passes them over, and a capstone whose center falls outside
  #     the image is dropped: a real one's center lies inside its ring.
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
# -O3 lets the compiler vectorise the thresholding loop, which runs over every
# pixel of every pass.
target_compile_options(quirc PRIVATE -w -O3)
target_link_libraries(quirc PRIVATE m)
