# How much debug information the objects carry. A sanitizer or fuzzer report
# and a test failure need no more than function, file and line, which line
# tables give at a fraction of the compile and link time of full -g. Full
# debug information stays on the agent and the simulator in the normal build,
# where a developer steps through them.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(KVN_LINE_TABLES -gline-tables-only)
else()
  set(KVN_LINE_TABLES -g1)
endif()
if(NOT CMAKE_BUILD_TYPE MATCHES "^(RelWithDebInfo|Debug)$")
  # No debug information asked for: none added.
  set(KVN_LINE_TABLES)
endif()

# Compile options come after the build type's flags, so these override its -g.
if(KVN_SANITIZE OR KVN_FUZZ)
  add_compile_options(${KVN_LINE_TABLES})
endif()
