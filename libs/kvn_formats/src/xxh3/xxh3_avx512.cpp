// Compiled with -mavx512f: only called when the processor has it.
#define KVN_XXH3_KERNEL xxh3Avx512
#include "xxh3_kernel.inc"
