# The revision tag that follows the version text; "unknown" outside a checkout.
execute_process(
  COMMAND git rev-parse --short=10 HEAD
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  OUTPUT_VARIABLE KVN_REVISION_TAG
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE _kvn_git_result)
if(NOT _kvn_git_result EQUAL 0 OR KVN_REVISION_TAG STREQUAL "")
  set(KVN_REVISION_TAG "unknown")
endif()
# Re-run configure when HEAD moves so the tag stays current.
if(EXISTS ${CMAKE_SOURCE_DIR}/.git/HEAD)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/.git/HEAD)
  file(READ ${CMAKE_SOURCE_DIR}/.git/HEAD _kvn_head)
  if(_kvn_head MATCHES "^ref: ([^\n]+)")
    if(EXISTS ${CMAKE_SOURCE_DIR}/.git/${CMAKE_MATCH_1})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/.git/${CMAKE_MATCH_1})
    endif()
  endif()
endif()
