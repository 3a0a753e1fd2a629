// Every serial control code, with every input and output length from 0 to
// 128 and with or without a system buffer, in every state a request can
// find the port in. Each cell must fail with Information 0 and a documented
// status or succeed within its output buffer; the whole grid must match the
// table kept beside this file, so that a change in any cell shows in review.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "badinput/ioctl_catalogue.h"
#include "badinput/port_rig.h"
#include "badinput/sweep.h"
#include "badinput/table_file.h"
#include "support/driver_fixture.h"

using namespace badinput;

namespace {

std::string Column(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

// The full product of lengths takes minutes in the debug build. By default
// the states in which the port serves requests try every length a boundary
// could lie at and the others a few; a range in the table then runs over the
// lengths tried, so both give the same table as long as the outcome changes
// only where a boundary was looked for. USBMODEM_BADINPUT_FULL=1 checks that.
Lengths LengthsFor(PortState state) {
  const char *full = std::getenv("USBMODEM_BADINPUT_FULL");
  if (full != nullptr && *full != '\0' && std::string(full) != "0") return AllLengths();
  switch (state) {
    case PortState::Started:
    case PortState::Open:
    case PortState::Asleep:
      return BoundaryLengths();
    default:
      return SparseLengths();
  }
}

// The table's lines for one state, and the problems met on the way.
std::vector<std::string> SweepState(PortRig &rig, PortState state, std::vector<std::string> *problems) {
  const Lengths lengths = LengthsFor(state);
  std::vector<std::string> lines;
  // Waits pend under this mask until the sweep lets them go (a port that is
  // not working refuses the request, which the sweep of the code records).
  testing_support::SendIoctlUlong(rig.Fdo(), IOCTL_SERIAL_SET_WAIT_MASK, kSweepWaitMask);
  for (const IoctlCase &ioctl : IoctlCases()) {
    for (BufferKind kind : {BufferKind::Real, BufferKind::Null}) {
      OutcomeGrid grid = Sweep(rig.Fdo(), ioctl, kind, lengths, problems);
      std::string prefix = Column(PortStateName(state), 17) + Column(BufferKindName(kind), 7) + Column(ioctl.name, 42);
      for (std::string &l : grid.Lines(prefix)) lines.push_back(std::move(l));
    }
  }
  return lines;
}

void CheckState(PortState state) {
  std::vector<std::string> lines;
  std::vector<std::string> problems;
  testing_support::RunOnMachine([&] {
    PortRig rig;
    rig.Enter(state);
    LONG references = rig.Ext()->OutstandingIo;
    lines = SweepState(rig, state, &problems);
    rig.Device().WaitStatusPollsIdle();
    EXPECT_EQ(references, rig.Ext()->OutstandingIo) << "the sweep left request references behind";
    rig.Leave();
  });

  const size_t shown = 40;
  for (size_t i = 0; i < problems.size() && i < shown; ++i) ADD_FAILURE() << problems[i];
  if (problems.size() > shown) ADD_FAILURE() << problems.size() - shown << " more problems";

  const std::string name = PortStateName(state);
  if (Regenerating()) {
    ASSERT_TRUE(WriteTableSection(TablePath(), name, lines)) << "cannot write " << TablePath();
    printf("wrote %zu lines for %s to %s\n", lines.size(), name.c_str(), TablePath().c_str());
    return;
  }
  std::vector<std::string> expected = ReadTable(TablePath())[name];
  std::vector<std::string> diff = DiffLines(expected, lines);
  std::string shownDiff;
  for (size_t i = 0; i < diff.size() && i < 60; ++i) shownDiff += diff[i] + "\n";
  EXPECT_TRUE(diff.empty()) << diff.size() << " lines differ from " << TablePath()
                            << " (- the table, + this run; USBMODEM_REGENERATE=1 rewrites it):\n"
                            << shownDiff;
}

}  // namespace

TEST(BadInputTable, Started) { CheckState(PortState::Started); }
TEST(BadInputTable, Open) { CheckState(PortState::Open); }
TEST(BadInputTable, Closed) { CheckState(PortState::Closed); }
TEST(BadInputTable, StopPending) { CheckState(PortState::StopPending); }
TEST(BadInputTable, Stopped) { CheckState(PortState::Stopped); }
TEST(BadInputTable, RemovePending) { CheckState(PortState::RemovePending); }
TEST(BadInputTable, SurpriseRemoved) { CheckState(PortState::SurpriseRemoved); }
TEST(BadInputTable, Asleep) { CheckState(PortState::Asleep); }
