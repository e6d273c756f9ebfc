# The SONAME of a shared library, for opening it by name at run time:
# read from the file, else taken from its versioned file name.
function(library_soname out library)
  set(_soname "")
  if(CMAKE_READELF AND EXISTS "${library}")
    execute_process(COMMAND ${CMAKE_READELF} -d "${library}" OUTPUT_VARIABLE _dynamic ERROR_QUIET)
    string(REGEX MATCH "Library soname: \\[([^]]+)\\]" _ "${_dynamic}")
    set(_soname "${CMAKE_MATCH_1}")
  endif()
  if(NOT _soname)
    get_filename_component(_real "${library}" REALPATH)
    get_filename_component(_real "${_real}" NAME)
    string(REGEX MATCH "^lib[^/]*\\.so\\.[0-9]+" _soname "${_real}")
  endif()
  if(NOT _soname)
    get_filename_component(_soname "${library}" NAME)
  endif()
  set(${out} "${_soname}" PARENT_SCOPE)
endfunction()

# format_libraries.cpp of faxtool opens libtiff and libpng by these names;
# `target` gets their headers and the names.
function(use_format_libraries target png_prefix tiff_prefix)
  list(GET ${png_prefix}_LINK_LIBRARIES 0 _png)
  list(GET ${tiff_prefix}_LINK_LIBRARIES 0 _tiff)
  library_soname(_png_soname "${_png}")
  library_soname(_tiff_soname "${_tiff}")
  target_compile_definitions(${target} PRIVATE FAXTOOL_PNG_SONAME="${_png_soname}"
                             FAXTOOL_TIFF_SONAME="${_tiff_soname}")
  target_include_directories(${target} PRIVATE ${${png_prefix}_INCLUDE_DIRS} ${${tiff_prefix}_INCLUDE_DIRS})
  target_compile_options(${target} PRIVATE ${${png_prefix}_CFLAGS_OTHER} ${${tiff_prefix}_CFLAGS_OTHER})
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()
