// Entry point: runs the command and turns its outcome into an exit status.
#include "console/console.h"
#include "commands/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  burrowlink::platform::prepare_process();
  burrowlink::Args args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  burrowlink::CommandResult result = burrowlink::run(std::move(args));
  if (result.ok()) return 0;
  burrowlink::console::print(burrowlink::console::Stream::err,
                             "burrowlink: " + result.error().message + "\n");
  return 1;
}
