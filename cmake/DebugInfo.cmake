# How much debug information the objects carry. A sanitizer or fuzzer report
# and a test failure need no more than function, file and line, which line
# tables give with less compile time and far smaller objects to link. Full
# debug information stays on the agent and the simulator in the normal build,
# where a developer steps through them. -DKVN_DEBUG_INFO=full keeps it
# everywhere (to see variables in a debugger under the sanitizers).
set(KVN_DEBUG_INFO "lines" CACHE STRING "lines (line tables where they are enough) or full")
set_property(CACHE KVN_DEBUG_INFO PROPERTY STRINGS lines full)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(KVN_LINE_TABLES -gline-tables-only)
else()
  set(KVN_LINE_TABLES -g1)
endif()
if(KVN_DEBUG_INFO STREQUAL "full" OR NOT CMAKE_BUILD_TYPE MATCHES "^(RelWithDebInfo|Debug)$")
  # Full debug information asked for, or none at all: the build type decides.
  set(KVN_LINE_TABLES)
endif()

# Compile options come after the build type's flags, so these override its -g.
if(KVN_SANITIZE OR KVN_FUZZ)
  add_compile_options(${KVN_LINE_TABLES})
endif()
