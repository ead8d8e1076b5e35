// Compiled with -mavx2: only called when the processor has it.
#define KVN_XXH3_KERNEL xxh3Avx2
#include "xxh3_kernel.inc"
