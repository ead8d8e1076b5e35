# lld links the test binaries, with their debug information and sanitizer
# runtimes, in a fraction of the CPU time of the default BFD linker.
find_program(KVN_LLD ld.lld)
if(KVN_LLD)
  add_link_options(-fuse-ld=lld)
endif()
