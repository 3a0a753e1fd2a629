// The main job: the driver's life on the simulated machine, as a person
// would want to see it. Loads the driver, plugs a Hayes modem, shows the
// port's names, lets two applications list the ports and dial out, reads and
// sets the WMI block, sleeps and resumes the system with the port open, and
// pulls the modem out under a pending read. Exits non-zero on any failure or
// verifier fault.
#include <cstdio>
#include <exception>

#include "demo/demo_view.h"
#include "sim/win32/src/process_exit.h"
#include "sim/world/world.h"

extern "C" int demo_list_ports_main(void);
int demo_hayes_dial_main();

namespace {

void Heading(const char *text) { std::printf("\n== %s\n", text); }

int RunApplication(sim::World &world, int (*main)()) {
  int status = 0;
  world.Run([&] {
    status = main();
    sim::win32::CloseProcessHandles();
  });
  return status;
}

int RunDemo() {
  sim::WorldOptions options;
  options.model = "hayes";
  options.plugModem = false;
  sim::World world(options);
  int failures = 0;

  Heading("the driver loads");
  demo::ShowDriverLoaded(world);

  Heading("a USB modem is plugged in");
  int32_t start = world.Plug();
  if (start < 0) {
    std::printf("  the start failed: status 0x%08X\n", unsigned(start));
    return 1;
  }
  demo::ShowConfiguration(world);

  Heading("the port appears");
  demo::ShowPortNames(world);

  Heading("an application lists the ports (registry and SetupAPI) and opens each");
  failures += RunApplication(world, demo_list_ports_main) != 0;

  Heading("a dial-up session on COM7 (virtual time)");
  failures += RunApplication(world, demo_hayes_dial_main) != 0;

  Heading("the WMI data block");
  failures += !demo::ShowWmiBlock(world);

  Heading("the system sleeps and resumes while COM7 is open");
  world.Run([&] {
    failures += demo::SleepAndResumeWithThePortOpen(world);
    sim::win32::CloseProcessHandles();
  });

  Heading("the modem is pulled out while a read is pending");
  world.Run([&] {
    failures += demo::PullOutWithAReadPending(world);
    sim::win32::CloseProcessHandles();
  });
  demo::ShowPortWithdrawn();

  Heading("the driver is unloaded");
  std::vector<std::string> faults = world.Close();
  std::printf("  verifier: %zu fault(s)\n", faults.size());
  for (const std::string &f : faults) std::printf("    %s\n", f.c_str());
  return failures == 0 && faults.empty() ? 0 : 1;
}

}  // namespace

int main() {
  try {
    return RunDemo();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "demo: %s\n", e.what());
    return 2;
  }
}
