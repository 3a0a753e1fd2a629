// The main of a program built by tools/run-win32: a machine with one modem as
// COM7, the program's own main run on it as an application thread, and the
// program's exit status as ours. A fault the verifier finds ends the run.
#include <cstdio>
#include <exception>

#include "sim/win32/src/process_exit.h"
#include "sim/world/world.h"

// The program's main, renamed; a program declares one of the two forms.
int usbmodem_app_main(int argc, char **argv) __attribute__((weak));
int usbmodem_app_main() __attribute__((weak));
// A C program's, either form: C names carry no parameters, and a main
// without them ignores the arguments it is called with.
extern "C" int usbmodem_app_c_main(int argc, char **argv) __attribute__((weak));

namespace {

int RunProgram(int argc, char **argv) {
  int (*withArguments)(int, char **) = usbmodem_app_main;
  int (*withoutArguments)() = usbmodem_app_main;
  if (withArguments != nullptr) return withArguments(argc, argv);
  if (withoutArguments != nullptr) return withoutArguments();
  if (usbmodem_app_c_main != nullptr) return usbmodem_app_c_main(argc, argv);
  std::fprintf(stderr, "run-win32: the program has no main\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  sim::WorldOptions options;
  options.faultsAreFatal = true;
  options.plugModem = false;
  try {
    sim::World world(options);
    int32_t start = world.Plug();
    if (start < 0) {
      std::fprintf(stderr, "run-win32: the %s modem did not start (status 0x%08X)\n", world.ModelName().c_str(),
                   static_cast<unsigned>(start));
      world.Close();
      return 4;
    }
    int status = 0;
    world.Run([&] {
      status = RunProgram(argc, argv);
      // The process ends: Windows closes what the program left open.
      sim::win32::CloseProcessHandles();
    });
    std::vector<std::string> faults = world.Close();
    if (!faults.empty()) {
      for (const std::string &f : faults) std::fprintf(stderr, "run-win32: %s\n", f.c_str());
      return 3;
    }
    return status;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "run-win32: %s\n", e.what());
    return 2;
  }
}
