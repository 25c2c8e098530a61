# The resource bundle: style sheet, pictures and fonts compiled into
# ${KESTREL_RESOURCE_TARGET}.
#
# Pictures are drawn as SVG in assets/ and rendered here at build time, each at
# the size its SVG declares (the size the forms show it) and at twice that
# size as "name@2x.png" for high-density screens. The fonts are copied from
# the TeX Gyre Heros fonts of Debian's fonts-texgyre (GUST Font License, which
# allows redistributing the unmodified files). The application icon's sizes
# come rendered from cmake/desktopfiles.cmake. resources.qrc lists the bundle;
# it is compiled from a copy in the build folder, beside the rendered files.

find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(KESTREL_FONT_DIR "/usr/share/texmf/fonts/opentype/public/tex-gyre" CACHE PATH
    "Folder holding texgyreheros-regular.otf and texgyreheros-bold.otf")

set(bundle_dir ${CMAKE_BINARY_DIR}/bundle)
set(bundle_files "")

file(GLOB picture_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/assets/*.svg)
foreach(svg IN LISTS picture_sources)
  get_filename_component(name ${svg} NAME_WE)
  set(png ${bundle_dir}/assets/${name}.png)
  set(png2 ${bundle_dir}/assets/${name}@2x.png)
  add_custom_command(OUTPUT ${png} ${png2}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bundle_dir}/assets
    COMMAND ${RSVG_CONVERT} --format=png --output=${png} ${svg}
    COMMAND ${RSVG_CONVERT} --format=png --zoom=2 --output=${png2} ${svg}
    DEPENDS ${svg}
    COMMENT "Rendering ${name}.png"
    VERBATIM)
  list(APPEND bundle_files ${png} ${png2})
endforeach()

foreach(pair "texgyreheros-regular.otf;HelveticaNeue.ttf" "texgyreheros-bold.otf;HelveticaNormal.ttf")
  list(GET pair 0 source)
  list(GET pair 1 target)
  if(NOT EXISTS ${KESTREL_FONT_DIR}/${source})
    message(FATAL_ERROR "${KESTREL_FONT_DIR}/${source} is missing: install fonts-texgyre")
  endif()
  add_custom_command(OUTPUT ${bundle_dir}/assets/${target}
    COMMAND ${CMAKE_COMMAND} -E copy ${KESTREL_FONT_DIR}/${source} ${bundle_dir}/assets/${target}
    DEPENDS ${KESTREL_FONT_DIR}/${source}
    VERBATIM)
  list(APPEND bundle_files ${bundle_dir}/assets/${target})
endforeach()

foreach(file resources.qrc style.css)
  add_custom_command(OUTPUT ${bundle_dir}/${file}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/${file} ${bundle_dir}/${file}
    DEPENDS ${CMAKE_SOURCE_DIR}/${file}
    VERBATIM)
  list(APPEND bundle_files ${bundle_dir}/${file})
endforeach()

# The application icon in the sizes of the icon theme (cmake/desktopfiles.cmake).
list(APPEND bundle_files ${KESTREL_ICON_PNGS})

get_target_property(rcc_executable Qt5::rcc IMPORTED_LOCATION)
set(bundle_cpp ${CMAKE_BINARY_DIR}/qrc_kestrel.cpp)
add_custom_command(OUTPUT ${bundle_cpp}
  COMMAND ${rcc_executable} --name kestrel --output ${bundle_cpp} ${bundle_dir}/resources.qrc
  DEPENDS ${bundle_files}
  COMMENT "Compiling the resource bundle"
  VERBATIM)
set_source_files_properties(${bundle_cpp} PROPERTIES SKIP_AUTOMOC ON SKIP_AUTOUIC ON GENERATED ON)
target_sources(${KESTREL_RESOURCE_TARGET} PRIVATE ${bundle_cpp})
