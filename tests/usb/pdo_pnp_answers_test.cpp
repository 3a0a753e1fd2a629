// The PDO's Plug and Play knobs: failed answers, pended answers completed
// from a DPC, and the bus's own effects only on success.
#include "sim/world/bringup.h"
#include "support/seeds.h"
#include "usb/usb_harness.h"

using namespace usbtest;
using sim::usb::PnpAnswer;
using sim::usb::PnpRequest;

namespace {

struct Minor {
  PnpRequest which;
  UCHAR minor;
};
const Minor kKnobbed[] = {{PnpRequest::Start, IRP_MN_START_DEVICE},
                          {PnpRequest::QueryCapabilities, IRP_MN_QUERY_CAPABILITIES},
                          {PnpRequest::CancelStop, IRP_MN_CANCEL_STOP_DEVICE},
                          {PnpRequest::CancelRemove, IRP_MN_CANCEL_REMOVE_DEVICE}};

DEVICE_CAPABILITIES BlankCapabilities() {
  DEVICE_CAPABILITIES caps = {};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = ULONG(-1);
  return caps;
}

TEST(UsbPdoPnpKnobs, AFailedAnswerComesAtOnceAndChangesNothing) {
  RunClean(1, [] {
    sim::usb::Device *device = sim::usb::Plug();
    for (const Minor &m : kKnobbed) {
      SCOPED_TRACE("minor " + std::to_string(m.minor));
      PnpAnswer answer;
      answer.status = STATUS_INSUFFICIENT_RESOURCES;
      device->SetPnpAnswer(m.which, answer);
      DEVICE_CAPABILITIES caps = BlankCapabilities();
      Call call(device->Pdo());
      EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, call.SubmitPnp(m.minor, &caps));
      EXPECT_TRUE(call.CompletedInsideCall());
      EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, call.Status());
      EXPECT_EQ(ULONG(-1), caps.Address);
      EXPECT_FALSE(device->Started());
    }
    // Back to the usual answers.
    for (const Minor &m : kKnobbed) device->SetPnpAnswer(m.which, PnpAnswer());
    DEVICE_CAPABILITIES caps = BlankCapabilities();
    Call query(device->Pdo());
    EXPECT_EQ(STATUS_SUCCESS, query.SubmitPnp(IRP_MN_QUERY_CAPABILITIES, &caps));
    EXPECT_EQ(1u, caps.Address);
    Call start(device->Pdo());
    EXPECT_EQ(STATUS_SUCCESS, start.SubmitPnp(IRP_MN_START_DEVICE));
    EXPECT_TRUE(device->Started());
  });
}

// Pended: STATUS_PENDING from the dispatch call, the IRP still ours to wait
// for, the answer at DISPATCH_LEVEL from a DPC after the delay, its effect
// only then.
TEST(UsbPdoPnpKnobs, APendedAnswerCompletesFromADpcAfterItsDelayUnderManySeeds) {
  for (uint64_t seed : testing_support::Seeds()) {
    RunClean(seed, [seed] {
      sim::usb::Device *device = sim::usb::Plug();
      for (const Minor &m : kKnobbed) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " minor " + std::to_string(m.minor));
        PnpAnswer answer;
        answer.pend = true;
        answer.delayUs = 700;
        device->SetPnpAnswer(m.which, answer);
        DEVICE_CAPABILITIES caps = BlankCapabilities();
        Call call(device->Pdo());
        uint64_t sent = sim::Now100ns();
        EXPECT_EQ(STATUS_PENDING, call.SubmitPnp(m.minor, &caps));
        EXPECT_FALSE(call.Done());
        EXPECT_EQ(ULONG(-1), caps.Address);
        ASSERT_TRUE(call.Wait(0));
        EXPECT_GE(sim::Now100ns() - sent, 7000u);
        EXPECT_EQ(STATUS_SUCCESS, call.Status());
        EXPECT_FALSE(call.CompletedInsideCall());
        EXPECT_EQ(DISPATCH_LEVEL, call.CompletionIrql());
        if (m.which == PnpRequest::QueryCapabilities) {
          EXPECT_EQ(1u, caps.Address);
        }
        if (m.which == PnpRequest::Start) {
          EXPECT_TRUE(device->Started());
        }
      }
    });
  }
}

TEST(UsbPdoPnpKnobs, APendedFailureAndASeededDelay) {
  RunClean(2, [] {
    sim::usb::Device *device = sim::usb::Plug();
    PnpAnswer answer;
    answer.pend = true;
    answer.status = STATUS_DEVICE_CONFIGURATION_ERROR;
    device->SetPnpAnswer(PnpRequest::Start, answer);
    for (int i = 0; i < 8; ++i) {
      Call start(device->Pdo());
      uint64_t sent = sim::Now100ns();
      EXPECT_EQ(STATUS_PENDING, start.SubmitPnp(IRP_MN_START_DEVICE));
      ASSERT_TRUE(start.Wait(0));
      uint64_t took = sim::Now100ns() - sent;
      EXPECT_GE(took, 1000u);   // 100 us
      EXPECT_LE(took, 51000u);  // 5 ms, and a little for the completion to arrive
      EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, start.Status());
      EXPECT_FALSE(device->Started());
    }
  });
}

// The world brings devices up with synchronous Plug and Play requests: they
// wait for a pended answer and return its final status.
TEST(UsbPdoPnpKnobs, TheWorldsPnpRequestsWaitForAPendedAnswer) {
  RunClean(3, [] {
    sim::usb::Device *device = sim::usb::Plug();
    PnpAnswer answer;
    answer.pend = true;
    answer.delayUs = 2000;
    answer.status = STATUS_DEVICE_NOT_READY;
    device->SetPnpAnswer(PnpRequest::Start, answer);
    uint64_t sent = sim::Now100ns();
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, sim::world::SendPnp(device->Pdo(), IRP_MN_START_DEVICE));
    EXPECT_GE(sim::Now100ns() - sent, 20000u);
    EXPECT_FALSE(device->Started());
    answer.status = STATUS_SUCCESS;
    device->SetPnpAnswer(PnpRequest::Start, answer);
    device->SetPnpAnswer(PnpRequest::CancelRemove, answer);
    EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(device->Pdo(), IRP_MN_START_DEVICE));
    EXPECT_TRUE(device->Started());
    EXPECT_EQ(STATUS_SUCCESS, sim::world::SendPnp(device->Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE));
  });
}

}  // namespace
