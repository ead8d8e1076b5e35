# The project's libraries that tool-like binaries (fuzzers, benchmarks) may
# need, as far as they exist in this tree; WITH_SERVICE adds the service's
# classes and the box simulator.
function(kvn_all_libraries out)
  cmake_parse_arguments(A "WITH_SERVICE" "" "" ${ARGN})
  set(_candidates kvn_log kvn_platform kvn_common kvn_compression kvn_crypto kvn_network kvn_rsync
                  kvn_mdns kvn_formats kvn_snapshot)
  if(A_WITH_SERVICE)
    list(APPEND _candidates zlv_service_core boxsim_lib)
  endif()
  set(_libs)
  foreach(_lib IN LISTS _candidates)
    if(TARGET ${_lib})
      list(APPEND _libs ${_lib})
    endif()
  endforeach()
  set(${out} ${_libs} PARENT_SCOPE)
endfunction()

# One binary per source file matching GLOB in the current folder, linked
# with the libraries and with EXTRA.
function(kvn_add_per_file_binaries glob)
  cmake_parse_arguments(B "WITH_SERVICE" "" "COMPILE_OPTIONS;LINK_OPTIONS;EXTRA" ${ARGN})
  if(B_WITH_SERVICE)
    kvn_all_libraries(_libs WITH_SERVICE)
  else()
    kvn_all_libraries(_libs)
  endif()
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${glob})
  foreach(_src IN LISTS _sources)
    get_filename_component(_name ${_src} NAME_WE)
    add_executable(${_name} ${_src})
    target_compile_options(${_name} PRIVATE ${B_COMPILE_OPTIONS})
    target_link_options(${_name} PRIVATE ${B_LINK_OPTIONS})
    target_link_libraries(${_name} PRIVATE ${_libs} ${B_EXTRA})
  endforeach()
endfunction()

# kvn_add_library(NAME [SOURCE_GLOBS g...] [PUBLIC lib...] [PRIVATE lib...]
#                 [PRIVATE_INCLUDES dir...])
# A static library of every source matching the globs (src/*.cpp by
# default) with its public headers in include/.
function(kvn_add_library name)
  cmake_parse_arguments(L "" "" "SOURCE_GLOBS;PUBLIC;PRIVATE;PRIVATE_INCLUDES" ${ARGN})
  if(NOT L_SOURCE_GLOBS)
    set(L_SOURCE_GLOBS src/*.cpp)
  endif()
  file(GLOB _sources CONFIGURE_DEPENDS ${L_SOURCE_GLOBS})
  add_library(${name} STATIC ${_sources})
  target_include_directories(${name} PUBLIC include PRIVATE src ${L_PRIVATE_INCLUDES})
  target_link_libraries(${name} PUBLIC ${L_PUBLIC} PRIVATE ${L_PRIVATE})
endfunction()
