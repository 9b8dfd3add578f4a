// The firmware's task data: a task table, the current-task index and the
// current task's directory record, whose string is the simulated firmware's
// live directory string. Loaded only when a scenario wants task data.
#include "core.h"
#include "fwdata.h"

extern "C" {

enum { kTasks = 4, kCurrentTask = 2 };

TapDirRecord simfw_dirRecord = {0, nullptr};
TapTaskEntry _tapTask[kTasks] = {};
int32_t _curTapTask = kCurrentTask;

}  // extern "C"

namespace {

// Points the current task at the firmware's directory string when loaded.
__attribute__((constructor)) void attachTaskData() {
  simfw_dirRecord.directory = sim::core::taskDirectory();
  _tapTask[kCurrentTask].dirRecord = &simfw_dirRecord;
}

}  // namespace
