// A module whose answers no loader can make up: what it prints through
// TAP_Print and what its event handler returns follow from what the
// firmware, its data and the disk give it, and from each event. It looks up
// the firmware's UTF-8 routine, reads the start folder from the task data,
// enters "/ProgramFiles/Caf\xE9" (Latin-1; through the UTF-8 retry where the
// disk holds the UTF-8 name) and keeps one heap block to the end.
#include <string.h>

#include "helpers.h"
#include "tap.h"
#include "tapheader.h"

TAP_IDENTITY("Jan 1 2026", "probe V0", "tests", "V0", "probe V0", 1, TAP_HEADER_MAGIC)

namespace {

uint32_t digest = 2166136261u;  // FNV-1a over all the module learnt

void learn(const void* bytes, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) digest = (digest ^ static_cast<const uint8_t*>(bytes)[i]) * 16777619u;
}

}  // namespace

extern "C" {

int32_t TAP_Main(void) {
  char start[TAP_DIR_LEN] = "";
  const int32_t read = HDD_TAP_GetCurrentDir(start);
  const int32_t utf8 = isUTFFirmware();
  const int32_t entered = HDD_ChangeDir("/ProgramFiles/Caf\xE9");
  char now[TAP_DIR_LEN] = "";
  HDD_TAP_GetCurrentDir(now);
  TAP_MemAlloc(48 + static_cast<dword>(strlen(start)));
  TAP_Print("probe: start folder %d \"%s\", UTF-8 routine %s\n", read, start, utf8 ? "found" : "missing");
  TAP_Print("probe: Caf\\xE9 %s, now in \"%s\"\n", entered ? "entered" : "not entered", now);
  learn(start, static_cast<uint32_t>(strlen(start)));
  learn(now, static_cast<uint32_t>(strlen(now)));
  const int32_t seen[] = {read, utf8, entered};
  learn(seen, sizeof seen);
  return 0;
}

uint32_t TAP_EventHandler(uint32_t event, uint32_t param1, uint32_t param2) {
  const uint32_t given[] = {event, param1, param2};
  learn(given, sizeof given);
  TAP_Print("probe: event 0x%X %u %u answers 0x%08X\n", event, param1, param2, digest);
  return digest;
}

}  // extern "C"
