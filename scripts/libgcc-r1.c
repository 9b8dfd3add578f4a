/* The byte swaps in the cross toolchain's libgcc are MIPS32 release 2 code
   (wsbh, rotr), which the device lacks; GCC calls them for __builtin_bswap*
   when compiling for release 1. These versions are linked before libgcc, so
   the C library and the image's programs take them instead. GCC does not
   turn the shifts back into a call here: release 1 has no swap instruction. */
#define HIDDEN __attribute__((visibility("hidden")))

HIDDEN unsigned int __bswapsi2(unsigned int x) {
  return (x >> 24) | ((x >> 8) & 0xff00u) | ((x << 8) & 0xff0000u) | (x << 24);
}

HIDDEN unsigned long long __bswapdi2(unsigned long long x) {
  return (unsigned long long)__bswapsi2((unsigned int)x) << 32 |
         __bswapsi2((unsigned int)(x >> 32));
}
