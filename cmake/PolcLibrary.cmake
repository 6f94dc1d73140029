# polc_library(NAME [STRICT_CONVERSIONS] [FOLDER dir] DEPS lib...): a static
# library from every .cc file but main.cc of the calling folder, or of its
# subfolder `dir`; headers are included as "<folder>/<header>.h" from the
# top of the tree. STRICT_CONVERSIONS adds -Wconversion, for the C-style
# modules where 16- and 32-bit values narrow.
function(polc_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "STRICT_CONVERSIONS" "FOLDER" "DEPS")
  set(folder "${CMAKE_CURRENT_SOURCE_DIR}")
  if(arg_FOLDER)
    set(folder "${folder}/${arg_FOLDER}")
  endif()
  file(GLOB sources CONFIGURE_DEPENDS "${folder}/*.cc")
  list(FILTER sources EXCLUDE REGEX "/main\\.cc$")
  if(NOT sources)
    # A folder whose first code has not landed yet.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE "${PROJECT_SOURCE_DIR}")
    target_link_libraries(${name} INTERFACE ${arg_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PUBLIC ${arg_DEPS})
  if(arg_STRICT_CONVERSIONS)
    target_compile_options(${name} PRIVATE -Wconversion)
  endif()
endfunction()
