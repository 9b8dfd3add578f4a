// A module that starts up fine on a lenient loader but not on the device,
// one fault per build: FAULT is one of
//   RELEASE2      TAP_Main runs a MIPS32 release 2 instruction (seb)
//   IMPORT        TAP_Main calls a firmware routine no device library exports
//   IMPORT_UNUSED the same call, in a function the start-up never reaches
//   STACK         TAP_Main has a 200 KiB local array, past the stack budget
//   TLS           TAP_Main counts in a thread-local variable
//   TEXTREL       the code holds an absolute address, for the loader to patch
//   NO_LIBDL      TAP_Main opens the process through the dynamic linker, but
//                 the module does not need libdl.so.0 (linked without it)
#include <dlfcn.h>

#include "tap.h"
#include "tapheader.h"

TAP_IDENTITY("Jan 1 2026", "faulty V0", "tests", "V0", "faulty V0", 1, TAP_HEADER_MAGIC)

#define RELEASE2 1
#define IMPORT 2
#define IMPORT_UNUSED 3
#define STACK 4
#define TLS 5
#define TEXTREL 6
#define NO_LIBDL 7

extern "C" {

#if FAULT == IMPORT || FAULT == IMPORT_UNUSED
int32_t TAP_MissingRoutine(int32_t);
int32_t reachedByNothing(int32_t value) { return TAP_MissingRoutine(value); }
#endif
#if FAULT == TLS
__thread int32_t starts;
#endif
#if FAULT == TEXTREL
asm(".text\n.globl addressInCode\naddressInCode:\n.word TAP_Main\n");
#endif

int32_t TAP_Main(void) {
  int32_t result = 0;
#if FAULT == RELEASE2
  int32_t byte = 0x80;
  asm volatile(".set push\n.set mips32r2\nseb %0, %0\n.set pop" : "+r"(byte));
  result = byte < 0 ? 0 : 1;
#elif FAULT == IMPORT
  result = TAP_MissingRoutine(0);
#elif FAULT == STACK
  volatile char frame[200 * 1024];
  for (uint32_t i = sizeof frame; i > 0; i -= 512) frame[i - 1] = static_cast<char>(i);
  result = frame[0];
#elif FAULT == TLS
  result = ++starts == 1 ? 0 : 1;
#elif FAULT == NO_LIBDL
  void* process = dlopen(nullptr, RTLD_LAZY);
  result = process != nullptr ? dlclose(process) : 1;
#endif
  TAP_Print("faulty: started\n");
  return result;
}

uint32_t TAP_EventHandler(uint32_t, uint32_t param1, uint32_t) { return param1; }

}  // extern "C"
