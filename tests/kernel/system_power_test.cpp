// System power transitions to every started stack: the query then the set,
// a veto answered with S0 to those that agreed, S0 with no query on the way
// back, a wait-wake completing during sleep waking the system.
#include "kernel/pnp_test_rig.h"

using namespace pnp_test;
using sim::Fault;
namespace pnp = sim::pnp;
namespace power = sim::power;

namespace {

using Lines = std::vector<std::string>;

void TwoStacks(sim::Kernel &k, const std::function<void(Rig &)> &body) {
  Rig rig;
  k.Run([&] {
    for (int i = 0; i < 2; ++i) {
      PDEVICE_OBJECT pdo = rig.MakePdo();
      pnp::WaitFor(pnp::Enumerate(pdo, rig.fdoDriver));
    }
    rig.log.clear();
    body(rig);
    power::WaitSettled();
    for (Stack *s : rig.stacks) {
      if (s->waitWake != nullptr) io_test::CompleteWith(s->waitWake, STATUS_CANCELLED);
      pnp::Remove(pnp::NodeOf(s->pdo));
    }
    pnp::WaitIdle();
    for (Stack *s : rig.stacks) {
      IoDeleteDevice(s->pdo);
      delete s;
    }
  });
  k.Shutdown();
}

}  // namespace

TEST(SystemPower, SleepQueriesEveryStackThenSetsAndWakeSetsS0WithNoQuery) {
  sim::Kernel k(io_test::Options());
  TwoStacks(k, [](Rig &rig) {
    power::SystemRequestId r = power::SetSystemPowerState(PowerSystemSleeping3);
    power::WaitFor(r);
    EXPECT_EQ(power::Info(r).outcome, power::SystemOutcome::Done);
    EXPECT_EQ(power::CurrentSystemState(), PowerSystemSleeping3);
    EXPECT_EQ(rig.log, (Lines{"2:query-power S3", "1:query-power S3", "2:set-power S3", "1:set-power S3"}));
    for (const auto &irp : power::SystemLog()) EXPECT_EQ(irp.action, PowerActionSleep);
    rig.log.clear();
    power::WaitFor(power::SetSystemPowerState(PowerSystemWorking));
    EXPECT_EQ(rig.log, (Lines{"1:set-power S0", "2:set-power S0"}));
    EXPECT_EQ(power::CurrentSystemState(), PowerSystemWorking);
  });
  EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
}

TEST(SystemPower, AVetoedSleepSendsS0ToTheStacksThatAgreed) {
  sim::Kernel k(io_test::Options());
  TwoStacks(k, [](Rig &rig) {
    rig.answers["1:query-power S4"] = STATUS_UNSUCCESSFUL;
    power::SystemRequestId r = power::SetSystemPowerState(PowerSystemHibernate);
    power::WaitFor(r);
    EXPECT_EQ(power::Info(r).outcome, power::SystemOutcome::Vetoed);
    EXPECT_EQ(power::CurrentSystemState(), PowerSystemWorking);
    EXPECT_EQ(rig.log, (Lines{"2:query-power S4", "1:query-power S4", "2:set-power S0"}));
    EXPECT_EQ(power::SystemLog()[0].action, PowerActionHibernate);
  });
  EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
}

TEST(SystemPower, AShutdownIsSetEvenWhenAQueryFails) {
  sim::Kernel k(io_test::Options());
  TwoStacks(k, [](Rig &rig) {
    rig.answers["1:query-power S5"] = STATUS_UNSUCCESSFUL;
    power::WaitFor(power::SetSystemPowerState(PowerSystemShutdown));
    EXPECT_EQ(power::CurrentSystemState(), PowerSystemShutdown);
    EXPECT_EQ(rig.log, (Lines{"2:query-power S5", "1:query-power S5", "2:set-power S5", "1:set-power S5"}));
    EXPECT_EQ(power::SystemLog()[0].action, PowerActionShutdownOff);
  });
  EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
}

TEST(SystemPower, AWaitWakeCompletingDuringSleepWakesTheSystem) {
  sim::Kernel k(io_test::Options());
  TwoStacks(k, [](Rig &rig) {
    rig.requestWaitWake = true;
    power::WaitFor(power::SetSystemPowerState(PowerSystemSleeping1));
    ASSERT_NE(rig.stacks[0]->waitWake, nullptr);
    rig.log.clear();
    io_test::DelayMs(5);
    EXPECT_EQ(power::CurrentSystemState(), PowerSystemSleeping1) << "nothing wakes it by itself";
    SignalWake(rig.stacks[0]);
    power::WaitSettled();
    EXPECT_EQ(power::CurrentSystemState(), PowerSystemWorking);
    EXPECT_EQ(rig.log, (Lines{"1:set-power S0", "2:set-power S0"}));
    EXPECT_TRUE(power::Info(2).byWake);
  });
  EXPECT_TRUE(k.Faults().empty()) << io_test::DescribeFaults(k);
}

TEST(SystemPower, FailingASystemSetPowerIsAFault) {
  sim::Kernel k(io_test::Options());
  TwoStacks(k, [](Rig &rig) {
    rig.answers["2:set-power S3"] = STATUS_UNSUCCESSFUL;
    power::WaitFor(power::SetSystemPowerState(PowerSystemSleeping3));
    power::WaitFor(power::SetSystemPowerState(PowerSystemWorking));
  });
  EXPECT_EQ(io_test::CountFaults(k, Fault::MustSucceedIrpFailed), 1) << io_test::DescribeFaults(k);
  EXPECT_EQ(k.Faults().size(), 1u) << io_test::DescribeFaults(k);
}
