if(KVN_SANITIZE STREQUAL "thread")
  set(_kvn_san -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${_kvn_san})
  add_link_options(${_kvn_san})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC warns that std::atomic_thread_fence is not instrumented; the code
    # does not rely on bare fences.
    add_compile_options(-Wno-tsan)
  endif()
elseif(KVN_SANITIZE)
  set(_kvn_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${_kvn_san})
  add_link_options(${_kvn_san})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis under the sanitizers reports uninitialised members
    # inside the standard library (std::function in <regex>) that are not.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

# Coverage hooks in every library, not only in the fuzz targets, so that the
# fuzzers are guided by the code they exercise.
if(KVN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
