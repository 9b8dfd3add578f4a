// Counter: counts its starts. At each start it reads Starts= from
// /ProgramFiles/Settings/Counter/Counter.ini (0 when there is none), adds
// one, writes the file back and prints the count through the firmware:
//   Counter: start 3
// Every event is answered with its first parameter, as the firmware asks.
#include "helpers.h"
#include "tap.h"
#include "tapheader.h"

namespace {

constexpr char kFolder[] = "Counter";
constexpr char kFile[] = "Counter.ini";
constexpr char kKey[] = "Starts";

}  // namespace

extern "C" {

int32_t TAP_Main(void) {
  // The text of its file, wherever the store finds it (an empty one when
  // none), and saved back in its own folder, which the store makes.
  INIOpenFile(kFile, kFolder);
  const int32_t starts = INIGetInt(kKey, 0, 0, 0x7FFFFFFF) + 1;
  INISetInt(kKey, starts);
  INISaveFile(kFile, INILOCATION_AtAppName, kFolder);
  INICloseFile();
  TAP_Print("Counter: start %d\n", starts);
  return 0;
}

uint32_t TAP_EventHandler(uint32_t, uint32_t param1, uint32_t) { return param1; }

}  // extern "C"
