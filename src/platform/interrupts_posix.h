#pragma once

// How the Linux backend holds off the interrupt signals while a received
// file is created and registered.

namespace burrowlink::platform {

// While one lives, SIGINT, SIGTERM and SIGHUP wait on the main thread: one
// that comes meanwhile is acted on when it ends. Covers the step from
// creating a received file to registering it for deletion on interrupt,
// without the two system calls per file that blocking the signals costs.
class InterruptsWait {
 public:
  InterruptsWait();
  ~InterruptsWait();
  InterruptsWait(const InterruptsWait&) = delete;
  InterruptsWait& operator=(const InterruptsWait&) = delete;
};

}  // namespace burrowlink::platform
