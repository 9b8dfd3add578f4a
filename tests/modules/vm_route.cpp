// A module for the VM's tests that does, as root in the VM, whatever the
// shell script /disk/route.sh on its disk says: fill memory or the disk,
// fork without end, flood its output, write raw bytes to the records
// channel, leave links. It is linked as any module is; its one way out is
// the shell the device's libc offers.
#include <stdlib.h>

#include "tapheader.h"

TAP_IDENTITY("Jan 1 2026", "runs a route in the VM", "tests", "V0", "vm route V0", 4, TAP_HEADER_MAGIC)

extern "C" {

int32_t TAP_Main(void) {
  system("sh /disk/route.sh");
  return 0;
}

uint32_t TAP_EventHandler(uint32_t, uint32_t param1, uint32_t) { return param1; }

}  // extern "C"
