// The stack the module runs on in the image: DEVICE_STACK_BYTES, what it may
// assume of the firmware's thread on the device, with a wide inaccessible
// guard below it. A fault while the module runs ends tapload with one line:
// an access to the guard as a stack overrun, an illegal instruction as one
// the device's processor lacks, any other by its signal and place.
#pragma once

namespace tapload {

// Calls RUN(ARG) on that stack, with the faults named as above.
void runOnDeviceStack(void (*run)(void*), void* arg);

}  // namespace tapload
