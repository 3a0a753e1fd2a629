// A SIGSEGV in image code: a driver stack's guard page (an overflow), a
// discarded INIT section, or any other bad access by the driver. The run
// cannot go on; the fault is printed naming the driver's routine and the
// process ends with the status of a fatal fault.
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/image/image_runtime.h"
#include "sim/kernel/sim.h"

namespace sim {
namespace image {

bool InitDiscarded(uintptr_t address, const Section **section);  // image_registry.cpp

namespace {

constexpr int kFatalStatus = 3;  // as a fatal fault ends a tool's run
struct sigaction g_previous;

[[noreturn]] void Die(Fault kind, const std::string &routine, const std::string &detail) {
  std::fprintf(stderr, "sim: fault %s in %s: %s\n", FaultName(kind), routine.c_str(), detail.c_str());
  std::fflush(stderr);
  if (const char *path = std::getenv("USBMODEM_STACK_REPORT")) WriteStackReport(path);
  _exit(kFatalStatus);
}

void OnSegv(int signal, siginfo_t *info, void *context) {
  uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  const mcontext_t &m = static_cast<ucontext_t *>(context)->uc_mcontext;
  uintptr_t eip = static_cast<uintptr_t>(m.gregs[REG_EIP]);
  uintptr_t esp = static_cast<uintptr_t>(m.gregs[REG_ESP]);
  if (DriverStack *stack = DriverStackGuarding(address)) {
    Die(Fault::DriverStackOverflow, DescribeAddress(eip),
        "the driver overran its 12 KiB kernel stack in " + DescribeAddress(eip) + " (entered at " +
            DescribeAddress(stack->entryRoutine) + ")");
  }
  const Section *init = nullptr;
  if (InitDiscarded(address, &init)) {
    uintptr_t caller = eip == address ? *reinterpret_cast<const uintptr_t *>(esp) : eip;
    Die(Fault::DiscardedCodeCalled, DescribeAddress(address),
        DescribeAddress(caller) + " used " + DescribeAddress(address) + " in section " + init->name +
            ", which is discarded once DriverEntry returns");
  }
  if (ImageAt(eip) != nullptr) {
    char where[24];
    std::snprintf(where, sizeof where, "0x%08lx", static_cast<unsigned long>(address));
    Die(Fault::InvalidParameter, DescribeAddress(eip), std::string("the driver's code accessed ") + where +
                                                            ", which is not mapped (an access violation)");
  }
  // Not the driver's: the default action, with the core dump it brings.
  sigaction(signal, &g_previous, nullptr);
}

}  // namespace

void InstallFaultHandler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  static char altStack[64 * 1024];
  stack_t ss{};
  ss.ss_sp = altStack;
  ss.ss_size = sizeof altStack;
  sigaltstack(&ss, nullptr);
  struct sigaction sa {};
  sa.sa_sigaction = OnSegv;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, &g_previous);
}

}  // namespace image
}  // namespace sim
