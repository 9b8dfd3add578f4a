#include "module_stack.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/ucontext.h>
#include <unistd.h>

#include "module_file.h"

// tapload_onStack(RUN, ARG, TOP) calls RUN(ARG) with the stack pointer at
// TOP (o32: a0, a1, a2), and comes back on the caller's stack: its stack
// pointer is kept in s0, which RUN keeps, its ra, s0 and gp on its stack.
extern "C" void tapload_onStack(void (*run)(void*), void* arg, void* top);
asm(R"(
	.text
	.align 2
	.globl tapload_onStack
	.hidden tapload_onStack
	.type tapload_onStack, @function
	.set push
	.set noreorder
tapload_onStack:
	addiu $sp, $sp, -16
	sw $ra, 12($sp)
	sw $s0, 8($sp)
	sw $gp, 4($sp)
	move $s0, $sp
	addiu $sp, $a2, -16
	move $t9, $a0
	jalr $t9
	move $a0, $a1
	move $sp, $s0
	lw $gp, 4($sp)
	lw $s0, 8($sp)
	lw $ra, 12($sp)
	jr $ra
	addiu $sp, $sp, 16
	.set pop
	.size tapload_onStack, .-tapload_onStack
)");

namespace tapload {
namespace {

constexpr uintptr_t kStackBytes = DEVICE_STACK_BYTES;
// A frame that reaches up to this far below the stack is caught as an overrun.
constexpr uintptr_t kGuardBytes = 16u << 20;
static_assert(kStackBytes % 4096 == 0, "the stack is whole pages");

uintptr_t guardLow, stackLow;
alignas(16) char signalStack[16384];
const int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// " (NAME+0xOFFSET)" for code at PC that a loaded object names, else "".
void where(uintptr_t pc, char* out, size_t size) {
  Dl_info info;
  out[0] = '\0';
  if (dladdr(reinterpret_cast<void*>(pc), &info) != 0 && info.dli_sname != nullptr)
    snprintf(out, size, " (%s+0x%lx)", info.dli_sname,
             static_cast<unsigned long>(pc - reinterpret_cast<uintptr_t>(info.dli_saddr)));
}

void onFault(int signal, siginfo_t* info, void* context) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t pc = static_cast<uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.pc);
  char place[160], line[320];
  where(pc, place, sizeof place);
  if ((signal == SIGSEGV || signal == SIGBUS) && at >= guardLow && at < stackLow)
    snprintf(line, sizeof line,
             "tapload: the module overran its stack of %lu bytes, the device's budget: an access %lu bytes below "
             "it at 0x%08lx%s\n",
             static_cast<unsigned long>(kStackBytes), static_cast<unsigned long>(stackLow - at),
             static_cast<unsigned long>(pc), place);
  else if (signal == SIGILL)
    snprintf(line, sizeof line,
             "tapload: the module ran an instruction the device's processor (MIPS32 release 1) lacks at 0x%08lx%s\n",
             static_cast<unsigned long>(pc), place);
  else
    snprintf(line, sizeof line, "tapload: the module stopped with signal %d (%s), address 0x%08lx, at 0x%08lx%s\n",
             signal, strsignal(signal), static_cast<unsigned long>(at), static_cast<unsigned long>(pc), place);
  fflush(stdout);
  (void)!write(STDERR_FILENO, line, strlen(line));
  _exit(1);
}

void handleFaults(bool named) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  if (named) {
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  } else {
    action.sa_handler = SIG_DFL;
  }
  for (int signal : kFaults) sigaction(signal, &action, nullptr);
}

}  // namespace

void runOnDeviceStack(void (*run)(void*), void* arg) {
  void* area = mmap(nullptr, kGuardBytes + kStackBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (area == MAP_FAILED) fail("cannot map the module's stack", "");
  guardLow = reinterpret_cast<uintptr_t>(area);
  stackLow = guardLow + kGuardBytes;
  if (mprotect(reinterpret_cast<void*>(stackLow), kStackBytes, PROT_READ | PROT_WRITE) != 0)
    fail("cannot map the module's stack", "");
  stack_t alternate;
  memset(&alternate, 0, sizeof alternate);
  alternate.ss_sp = signalStack;
  alternate.ss_size = sizeof signalStack;
  if (sigaltstack(&alternate, nullptr) != 0) fail("cannot set up the fault handler's stack", "");
  handleFaults(true);
  tapload_onStack(run, arg, reinterpret_cast<void*>(stackLow + kStackBytes));
  handleFaults(false);
  munmap(area, kGuardBytes + kStackBytes);
}

}  // namespace tapload
