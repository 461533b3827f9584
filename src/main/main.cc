// Entry point: runs the command and turns its outcome into an exit status.
#include "commands/run.h"
#include "console/console.h"
#include "platform/process.h"
#include "platform/terminal.h"

int main(int argc, char** argv) {
  burrowlink::platform::prepare_process();
  burrowlink::CommandResult result = burrowlink::commands::run(
      burrowlink::platform::program_arguments(argc, argv));
  if (!result.ok()) {
    burrowlink::console::print(burrowlink::console::Stream::err,
                               "burrowlink: " + result.error().message + "\n");
  }
  burrowlink::console::flush();
  return result.ok() ? 0 : 1;
}
