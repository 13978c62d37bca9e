#include <string>

#include "app/updater_app.h"
#include "platform/files.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::InitProcessLocale();
  // The arguments as one text, as the system passes a command line.
  std::string arguments;
  for (const std::string& a : platform::ProgramArguments(argc, argv)) {
    if (!arguments.empty()) arguments.push_back(' ');
    arguments += a;
  }
  app::UpdaterApp application(platform::ModulePath());
  if (application.Startup(arguments)) application.RunMessageLoop();
  application.Exit();
  return application.ExitCode();
}
