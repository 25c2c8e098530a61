# Libraries per layer, for the desktop program and the web service alike.
#
#   kestrel_layer(<name> SOURCES <file>... [LINK <library>...] [PRIVATE <library>...])
#
# makes <name> a shared library of the files (paths from the top of the
# tree) that links LINK for itself and its users and PRIVATE for itself. It
# is linked with --no-undefined: a layer that calls into one it does not link
# (a layer above it) fails to build. A fuzzing build (KESTREL_FUZZ) makes
# them static, so that libFuzzer sees all of their code in one program.
#
# Installed, the libraries go to a folder of their own,
# <libdir>/kestrel, where the programs find them by their run path.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
include(GNUInstallDirs)
set(KESTREL_INSTALL_LIBDIR "${CMAKE_INSTALL_LIBDIR}/kestrel")
set(CMAKE_INSTALL_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}/kestrel")

function(kestrel_layer name)
  cmake_parse_arguments(arg "" "" "SOURCES;LINK;PRIVATE" ${ARGN})
  list(TRANSFORM arg_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)
  if(KESTREL_FUZZ)
    add_library(${name} STATIC ${arg_SOURCES})
  else()
    add_library(${name} SHARED ${arg_SOURCES})
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
    set_property(GLOBAL APPEND PROPERTY KESTREL_LAYERS ${name})
  endif()
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${arg_LINK} PRIVATE ${arg_PRIVATE} kestrel_warnings)
endfunction()
