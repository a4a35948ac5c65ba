# The catalogs of the user's languages (po/LANG.po, gettext's format; po/kestrune.pot is their
# template): compiled with msgfmt --check into locale/LANG/LC_MESSAGES/kestrune.mo in the build
# folder, installed under share/locale on Linux (the system's gettext reads them there) and
# carried inside the programs on Windows and in the web page (EmbeddedCatalogs.cpp, made from the
# compiled catalogs). A new po/LANG.po is taken at the next build; nothing else names it. (The
# install folders of GNUInstallDirs are set up by packaging/, which names the documents' folder
# first.)
find_program(KESTRUNE_MSGFMT msgfmt)
if(NOT KESTRUNE_MSGFMT)
  message(FATAL_ERROR "msgfmt is missing: install gettext (tools/setup.sh does)")
endif()
file(GLOB _kestrune_po CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/po/*.po)
set(KESTRUNE_LANGUAGES "")
set(_kestrune_mo "")
foreach(_po IN LISTS _kestrune_po)
  get_filename_component(_lang ${_po} NAME_WE)
  set(_dir ${CMAKE_BINARY_DIR}/locale/${_lang}/LC_MESSAGES)
  add_custom_command(OUTPUT ${_dir}/kestrune.mo
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND ${KESTRUNE_MSGFMT} --check -o ${_dir}/kestrune.mo ${_po}
    DEPENDS ${_po} COMMENT "Compiling the catalog ${_lang}" VERBATIM)
  list(APPEND _kestrune_mo ${_dir}/kestrune.mo)
  list(APPEND KESTRUNE_LANGUAGES ${_lang})
  if(NOT WIN32 AND NOT EMSCRIPTEN)
    install(FILES ${_dir}/kestrune.mo DESTINATION share/locale/${_lang}/LC_MESSAGES)
  endif()
endforeach()
if(WIN32 OR EMSCRIPTEN)
  set(KESTRUNE_EMBEDDED_CATALOGS ${CMAKE_BINARY_DIR}/generated/EmbeddedCatalogs.cpp)
  add_custom_command(OUTPUT ${KESTRUNE_EMBEDDED_CATALOGS}
    COMMAND ${CMAKE_COMMAND} -DOUT=${KESTRUNE_EMBEDDED_CATALOGS} "-DLANGUAGES=${KESTRUNE_LANGUAGES}"
            -DLOCALE=${CMAKE_BINARY_DIR}/locale -P ${CMAKE_SOURCE_DIR}/cmake/EmbedCatalogs.cmake
    DEPENDS ${_kestrune_mo} ${CMAKE_SOURCE_DIR}/cmake/EmbedCatalogs.cmake
    COMMENT "Embedding the catalogs" VERBATIM)
endif()
# Made before kestrune_common, which compiles EmbeddedCatalogs.cpp (Windows, web).
add_custom_target(kestrune_catalogs ALL DEPENDS ${_kestrune_mo} ${KESTRUNE_EMBEDDED_CATALOGS})
# The template, written anew from the texts the code marks (a test checks that it is current).
add_custom_target(pot COMMAND ${CMAKE_SOURCE_DIR}/po/update-template.sh
  COMMENT "Writing po/kestrune.pot" VERBATIM)
