// The device's WMI data block through the system's WMI service: its
// registration, the 26-byte block, the too-small exchange, the two sets and
// their refusals, and requests after removal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registration/wmi.h"
#include "sim/kernel/sim.h"
#include "sim/kernel/wmi.h"
#include "sim/usb/device.h"
#include "support/driver_fixture.h"

using namespace testing_support;

namespace {

// {BBA21300-6DD3-11D2-B844-00C04FAD5171}
const GUID kBlock = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
const GUID kOtherBlock = {0xBBA21301, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};

const std::vector<UCHAR> kFreshBlock = {0x0A, 0, 0, 0, 0x14, 0,   'Q', 0, 'u', 0, 'o', 0, 'r', 0,
                                        'v',  0, 'a', 0, 'l', 0, 'e', 0, 'n', 0, 0,   0};

// The setting belongs to the loaded image; the host process keeps one image
// for every test, so each test starts from a fresh load's value.
void FreshImage() { WmiSetting = 10; }

std::string InstanceOf(PDEVICE_OBJECT fdo) {
  sim::wmi::Registration reg;
  EXPECT_EQ(STATUS_SUCCESS, sim::wmi::RegInfo(fdo, &reg));
  if (reg.guids.size() != 1 || reg.guids[0].instanceNames.size() != 1) {
    ADD_FAILURE() << "expected one block with one instance";
    return std::string();
  }
  return reg.guids[0].instanceNames[0];
}

}  // namespace

TEST(WmiProvider, RegistersOneBlockNamedAfterThePdo) {
  RunOnMachine([] {
    sim::usb::Device *modem = sim::usb::Plug();
    TestDevice dev(modem);
    sim::wmi::Registration reg;
    ASSERT_EQ(STATUS_SUCCESS, sim::wmi::RegInfo(dev.Fdo(), &reg));
    EXPECT_EQ("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbmodem", reg.registryPath);
    EXPECT_EQ("MofResourceName", reg.mofResourceName);
    ASSERT_EQ(1u, reg.guids.size());
    EXPECT_EQ(0, memcmp(&kBlock, &reg.guids[0].guid, sizeof(GUID)));
    EXPECT_EQ(ULONG(WMIREG_FLAG_INSTANCE_PDO), reg.guids[0].flags & WMIREG_FLAG_INSTANCE_PDO);
    EXPECT_EQ(1u, reg.guids[0].instanceCount);
    ASSERT_EQ(1u, reg.guids[0].instanceNames.size());
    EXPECT_EQ("USB\\Vid_", reg.guids[0].instanceNames[0].substr(0, 8));
    EXPECT_EQ("_0", reg.guids[0].instanceNames[0].substr(reg.guids[0].instanceNames[0].size() - 2));
  });
}

TEST(WmiProvider, TheBlockIsTwentySixBytesAndATooSmallBufferIsAskedAgain) {
  RunOnMachine([] {
    FreshImage();
    TestDevice dev(sim::usb::Plug());
    std::string instance = InstanceOf(dev.Fdo());
    std::vector<UCHAR> data;
    ASSERT_EQ(STATUS_SUCCESS, sim::wmi::QuerySingleInstance(kBlock, instance, &data));
    EXPECT_EQ(kFreshBlock, data);

    std::vector<sim::wmi::Instance> all;
    ASSERT_EQ(STATUS_SUCCESS, sim::wmi::QueryAllData(kBlock, &all));
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(instance, all[0].name);
    EXPECT_EQ(kFreshBlock, all[0].data);

    // The first buffer grows a byte at a time: while the block does not fit,
    // the reply asks for the size needed and the service asks once more.
    // Past the threshold one request is enough, and the threshold is where
    // exactly 26 bytes of data fit behind the request's own fields.
    ULONG threshold = 0, smallest = 0;
    for (ULONG size = 0; size <= 512 && threshold == 0; ++size) {
      sim::wmi::SetFirstBufferSize(size);
      ULONG before = sim::wmi::RequestsSent();
      ASSERT_EQ(STATUS_SUCCESS, sim::wmi::QuerySingleInstance(kBlock, instance, &data));
      EXPECT_EQ(kFreshBlock, data) << "first buffer of " << size << " bytes";
      ULONG sent = sim::wmi::RequestsSent() - before;
      if (size == 0) smallest = sent;
      else if (sent == smallest - 1) threshold = size;
    }
    sim::wmi::SetFirstBufferSize(0);
    ASSERT_NE(0u, threshold) << "no first buffer was ever large enough";
    EXPECT_GE(threshold, sizeof(WNODE_SINGLE_INSTANCE) + 26);
    EXPECT_LE(threshold, sizeof(WNODE_SINGLE_INSTANCE) + 26 + 2 * instance.size() + 16);
    std::vector<UCHAR> unused;
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, sim::wmi::QuerySingleInstance(kOtherBlock, instance, &unused));
  });
}

TEST(WmiProvider, SetsTakeExactlyTheSettingAndEveryDeviceReportsIt) {
  RunOnMachine([] {
    FreshImage();
    TestDevice one(sim::usb::Plug());
    TestDevice two(sim::usb::Plug());
    std::string first = InstanceOf(one.Fdo());
    std::string second = InstanceOf(two.Fdo());
    ASSERT_NE(first, second);
    std::vector<UCHAR> data;

    EXPECT_EQ(STATUS_SUCCESS, sim::wmi::SetSingleItem(kBlock, first, 1, {5, 0, 0, 0}));
    ASSERT_EQ(STATUS_SUCCESS, sim::wmi::QuerySingleInstance(kBlock, second, &data));
    EXPECT_EQ((std::vector<UCHAR>{5, 0, 0, 0, 0x14, 0}), std::vector<UCHAR>(data.begin(), data.begin() + 6));

    // Refusals leave the setting alone.
    EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND, sim::wmi::SetSingleItem(kBlock, first, 2, {9, 0, 0, 0}));
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, sim::wmi::SetSingleItem(kBlock, first, 1, {9, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, sim::wmi::SetSingleInstance(kBlock, first, kFreshBlock));
    EXPECT_EQ(5u, WmiSetting);

    EXPECT_EQ(STATUS_SUCCESS, sim::wmi::SetSingleInstance(kBlock, second, {0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(0x12345678u, WmiSetting);
    ASSERT_EQ(STATUS_SUCCESS, sim::wmi::QuerySingleInstance(kBlock, first, &data));
    EXPECT_EQ(26u, data.size());
    EXPECT_EQ((std::vector<UCHAR>{0x78, 0x56, 0x34, 0x12}), std::vector<UCHAR>(data.begin(), data.begin() + 4));
  });
}

TEST(WmiProvider, AfterRemovalBeganRequestsEndDeletePendingAndGoNoFurther) {
  RunOnMachine([] {
    TestDevice dev;
    std::string instance = InstanceOf(dev.Fdo());
    dev.Ext()->DeviceState = Removed;
    std::vector<UCHAR> data;
    EXPECT_FALSE(NT_SUCCESS(sim::wmi::QuerySingleInstance(kBlock, instance, &data)));
    sim::wmi::Reply reply = sim::wmi::Send(dev.Fdo(), IRP_MN_QUERY_ALL_DATA, (PVOID)&kBlock, std::vector<UCHAR>(64));
    EXPECT_EQ(STATUS_DELETE_PENDING, reply.status);
    EXPECT_EQ(0u, reply.information);
    EXPECT_EQ(1, dev.Ext()->OutstandingIo);
    dev.Ext()->DeviceState = NotStarted;
  });
}
