# The program icon, rendered at build time from icons/kestrune-loader.svg, and the Windows version
# resource of every .exe. Included from the top CMakeLists.txt before the programs, so that their
# folders can call kestrune_add_windows_resources() and use the icon:
#
#   KESTRUNE_ICON_SVG   the drawing
#   KESTRUNE_ICON_PNGS  build/icons/hicolor/<N>x<N>/apps/<icon name>.png (rsvg-convert; 16 ... 256)
#   KESTRUNE_ICON_ICO   build/icons/kestrune-loader.ico (icotool; 16 ... 64, and 256 as PNG)
#   target kestrune_icons makes them.
#
# Without rsvg-convert or icotool the build goes on without the PNG icons or the .ico (with a
# warning); the SVG is installed in any case.

# The desktop entry's id (also the AppStream id) and the icon's theme name, unless the top
# CMakeLists.txt has given them: the window program sets the same, so that the desktop matches the
# running window to its entry.
if(NOT KESTRUNE_DESKTOP_ID)
  set(KESTRUNE_DESKTOP_ID com.kestrune.Loader)
endif()
if(NOT KESTRUNE_ICON_NAME)
  set(KESTRUNE_ICON_NAME com.kestrune.Loader)
endif()
set(KESTRUNE_ICON_SVG ${CMAKE_CURRENT_LIST_DIR}/icons/kestrune-loader.svg)
set(KESTRUNE_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
set(KESTRUNE_ICON_SIZES 16 24 32 48 64 128 256)
set(KESTRUNE_ICON_PNGS)
set(KESTRUNE_ICON_ICO)

find_program(KESTRUNE_RSVG_CONVERT rsvg-convert)
find_program(KESTRUNE_ICOTOOL icotool)
if(KESTRUNE_RSVG_CONVERT)
  foreach(size IN LISTS KESTRUNE_ICON_SIZES)
    set(png ${KESTRUNE_ICON_DIR}/hicolor/${size}x${size}/apps/${KESTRUNE_ICON_NAME}.png)
    add_custom_command(
      OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTRUNE_ICON_DIR}/hicolor/${size}x${size}/apps
      COMMAND ${KESTRUNE_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${KESTRUNE_ICON_SVG}
      DEPENDS ${KESTRUNE_ICON_SVG}
      COMMENT "Rendering the ${size}x${size} icon"
      VERBATIM)
    list(APPEND KESTRUNE_ICON_PNGS ${png})
  endforeach()
  if(KESTRUNE_ICOTOOL)
    set(KESTRUNE_ICON_ICO ${KESTRUNE_ICON_DIR}/kestrune-loader.ico)
    set(small ${KESTRUNE_ICON_PNGS})
    list(POP_BACK small)  # 128 and 256 leave the list; 256 goes in as PNG, the way Windows takes it
    list(POP_BACK small)
    add_custom_command(
      OUTPUT ${KESTRUNE_ICON_ICO}
      COMMAND ${KESTRUNE_ICOTOOL} -c -o ${KESTRUNE_ICON_ICO} ${small}
              -r ${KESTRUNE_ICON_DIR}/hicolor/256x256/apps/${KESTRUNE_ICON_NAME}.png
      DEPENDS ${KESTRUNE_ICON_PNGS}
      COMMENT "Making the Windows icon"
      VERBATIM)
  else()
    message(WARNING "icotool (Debian: icoutils) not found: the .exe files get no icon.")
  endif()
else()
  message(WARNING "rsvg-convert (Debian: librsvg2-bin) not found: no PNG icons, no Windows icon.")
endif()
add_custom_target(kestrune_icons ALL DEPENDS ${KESTRUNE_ICON_PNGS} ${KESTRUNE_ICON_ICO})

# kestrune_add_windows_resources(<target> "<description>" [MANIFEST <file>])
#
# On Windows, gives the program <target> its version resource (file and product version
# "1.00.0008" from the project version, the description shown by Explorer, the original file
# name <output name>.exe), the program icon as icon resource 1 and, when given, the application
# manifest <file>. Does nothing elsewhere.
function(kestrune_add_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "MANIFEST" "")
  set(KESTRUNE_RC_MANIFEST "")
  if(arg_MANIFEST)
    set(KESTRUNE_RC_MANIFEST "CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \"${arg_MANIFEST}\"")
  endif()
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(KESTRUNE_RC_NAME ${name})
  set(KESTRUNE_RC_DESCRIPTION "${description}")
  set(KESTRUNE_RC_ICON "")
  if(KESTRUNE_ICON_ICO)
    set(KESTRUNE_RC_ICON "1 ICON \"${KESTRUNE_ICON_ICO}\"")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${KESTRUNE_ICON_ICO};${arg_MANIFEST}")
  if(KESTRUNE_ICON_ICO)
    add_dependencies(${target} kestrune_icons)
  endif()
endfunction()
