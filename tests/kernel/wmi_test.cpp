// WMI: registration with IoWMIRegistrationControl, the WMI library's
// decoding and replies, and the service that sends the requests as WMI does.
#include "kernel/wmi_test_provider.h"

using namespace wmi_test;
using sim::Fault;

namespace {

// A request WNODE for one instance by index, with `size` bytes in all.
std::vector<UCHAR> SingleInstanceRequest(const GUID &guid, ULONG index, ULONG size, ULONG dataOffset) {
  std::vector<UCHAR> b(size);
  auto *w = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(b.data());
  w->WnodeHeader.BufferSize = size;
  w->WnodeHeader.Guid = guid;
  w->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
  w->InstanceIndex = index;
  w->DataBlockOffset = dataOffset;
  return b;
}

std::vector<UCHAR> AllDataRequest(ULONG size) {
  std::vector<UCHAR> b(size);
  auto *w = reinterpret_cast<PWNODE_ALL_DATA>(b.data());
  w->WnodeHeader.BufferSize = size;
  w->WnodeHeader.Guid = kBlockGuid;
  w->WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
  return b;
}

TEST(Wmi, RegistrationRules) {
  sim::Kernel k(Options());
  k.Run([&] {
    Provider p;
    Build(p);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_UPDATE_GUIDS), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_REGISTER), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_UPDATE_GUIDS), STATUS_SUCCESS);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_REREGISTER), STATUS_SUCCESS);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, 99), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::wmi::Providers(), std::vector<PDEVICE_OBJECT>{p.fdo});
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_TRUE(sim::wmi::Providers().empty());
    // Deregistered, it is asked nothing more.
    std::vector<UCHAR> data;
    EXPECT_EQ(sim::wmi::QuerySingleInstance(kBlockGuid, kInstance, &data), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(sim::wmi::RequestsSent(), 0u);
    Dismantle(p);
  });
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

TEST(Wmi, ProviderDeletedWhileRegistered) {
  for (bool deregister : {false, true}) {
    SCOPED_TRACE(deregister ? "deregistered first" : "still registered");
    sim::Kernel k(Options());
    k.Run([&] {
      Provider p;
      Build(p);
      EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
      if (deregister) {
        EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
      }
      Dismantle(p);
      EXPECT_TRUE(sim::wmi::Providers().empty());
    });
    k.Shutdown();
    ASSERT_EQ(CountFaults(k, Fault::WmiProviderNotDeregistered), deregister ? 0 : 1) << DescribeFaults(k);
    if (!deregister) {
      EXPECT_EQ(k.Faults()[0].routine, "IoDeleteDevice");
    }
    EXPECT_EQ(k.Faults().size(), deregister ? 0u : 1u) << DescribeFaults(k);
  }
}

TEST(Wmi, EveryRequestThroughTheService) {
  sim::Kernel k(Options());
  k.Run([&] {
    Provider p;
    Build(p);
    ASSERT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);

    sim::wmi::Registration reg;
    ASSERT_EQ(sim::wmi::RegInfo(p.fdo, &reg), STATUS_SUCCESS);
    EXPECT_EQ(reg.registryPath, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wmitest");
    EXPECT_EQ(reg.mofResourceName, "MofResource");
    ASSERT_EQ(reg.guids.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(reg.guids[0].guid, kBlockGuid));
    EXPECT_EQ(reg.guids[0].flags, (ULONG)(WMIREG_FLAG_EXPENSIVE | WMIREG_FLAG_INSTANCE_PDO));
    EXPECT_EQ(reg.guids[0].instanceNames, std::vector<std::string>{kInstance});

    std::vector<sim::wmi::Instance> all;
    ASSERT_EQ(sim::wmi::QueryAllData(kBlockGuid, &all), STATUS_SUCCESS);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].name, kInstance);
    EXPECT_EQ(all[0].data, Bytes(&p.block, sizeof(Block)));

    Block changed{11, 12, {'x'}};
    EXPECT_EQ(sim::wmi::SetSingleInstance(kBlockGuid, kInstance, Bytes(&changed, sizeof changed)), STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::SetSingleInstance(kBlockGuid, kInstance, {1, 2, 3}), STATUS_WMI_SET_FAILURE);
    ULONG setting = 42;
    EXPECT_EQ(sim::wmi::SetSingleItem(kBlockGuid, kInstance, kItemSetting, Bytes(&setting, sizeof setting)),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::SetSingleItem(kBlockGuid, kInstance, 9, Bytes(&setting, sizeof setting)),
              STATUS_WMI_ITEMID_NOT_FOUND);
    changed.setting = 42;
    std::vector<UCHAR> data;
    ASSERT_EQ(sim::wmi::QuerySingleInstance(kBlockGuid, kInstance, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Bytes(&changed, sizeof changed));

    ULONG in = 21, doubled = 42;
    std::vector<UCHAR> out;
    EXPECT_EQ(sim::wmi::ExecuteMethod(kBlockGuid, kInstance, kMethodDouble, Bytes(&in, sizeof in), &out),
              STATUS_SUCCESS);
    EXPECT_EQ(out, Bytes(&doubled, sizeof doubled));

    // Collection only for the expensive block; events for either.
    EXPECT_EQ(sim::wmi::EnableCollection(kBlockGuid, true), STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::EnableCollection(kEventGuid, true), STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::EnableCollection(kBlockGuid, false), STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::EnableEvents(kEventGuid, true), STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::EnableEvents(kEventGuid, false), STATUS_SUCCESS);
    EXPECT_EQ(p.collectionOn, 1);
    EXPECT_EQ(p.collectionOff, 1);
    EXPECT_EQ(p.eventsOn, 1);
    EXPECT_EQ(p.eventsOff, 1);

    // What WMI answers itself, and what the library answers.
    EXPECT_EQ(sim::wmi::QuerySingleInstance(kOtherGuid, kInstance, &data), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(sim::wmi::QuerySingleInstance(kBlockGuid, std::string(kInstance) + "x", &data),
              STATUS_WMI_INSTANCE_NOT_FOUND);
    ULONG offset = sizeof(WNODE_SINGLE_INSTANCE);
    sim::wmi::Reply r = sim::wmi::Send(p.fdo, IRP_MN_QUERY_SINGLE_INSTANCE, (PVOID)&kOtherGuid,
                                       SingleInstanceRequest(kOtherGuid, 0, 128, offset));
    EXPECT_EQ(r.status, STATUS_WMI_GUID_NOT_FOUND);
    r = sim::wmi::Send(p.fdo, IRP_MN_QUERY_SINGLE_INSTANCE, (PVOID)&kBlockGuid,
                       SingleInstanceRequest(kBlockGuid, 1, 128, offset));
    EXPECT_EQ(r.status, STATUS_WMI_INSTANCE_NOT_FOUND);
    // Without static names the library cannot tell which instance is meant.
    std::vector<UCHAR> dynamic = SingleInstanceRequest(kBlockGuid, 0, 128, offset);
    reinterpret_cast<PWNODE_HEADER>(dynamic.data())->Flags = WNODE_FLAG_SINGLE_INSTANCE;
    r = sim::wmi::Send(p.fdo, IRP_MN_QUERY_SINGLE_INSTANCE, (PVOID)&kBlockGuid, dynamic);
    EXPECT_EQ(r.status, STATUS_WMI_INSTANCE_NOT_FOUND);

    EXPECT_EQ(p.systemControlAtPdo, 0);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    Dismantle(p);
  });
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

TEST(Wmi, ReadOnlyBlockRefusesChanges) {
  sim::Kernel k(Options());
  k.Run([&] {
    Provider p;
    Build(p);
    p.lib.SetWmiDataBlock = nullptr;
    p.lib.SetWmiDataItem = nullptr;
    ASSERT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::SetSingleInstance(kBlockGuid, kInstance, Bytes(&p.block, sizeof(Block))),
              STATUS_WMI_READ_ONLY);
    ULONG v = 1;
    EXPECT_EQ(sim::wmi::SetSingleItem(kBlockGuid, kInstance, kItemSetting, Bytes(&v, sizeof v)), STATUS_WMI_READ_ONLY);
    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    Dismantle(p);
  });
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

// The library answers a buffer one byte short with a WNODE_TOO_SMALL naming
// the size, and fills the reply from that size on.
TEST(Wmi, TooSmallProtocol) {
  sim::Kernel k(Options());
  k.Run([&] {
    Provider p;
    Build(p);
    ASSERT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);

    ULONG offset = sizeof(WNODE_SINGLE_INSTANCE);
    ULONG single = offset + sizeof(Block);
    for (ULONG size : {single - 1, single, single + 1}) {
      SCOPED_TRACE("single instance in " + std::to_string(size));
      sim::wmi::Reply r = sim::wmi::Send(p.fdo, IRP_MN_QUERY_SINGLE_INSTANCE, (PVOID)&kBlockGuid,
                                         SingleInstanceRequest(kBlockGuid, 0, size, offset));
      ASSERT_EQ(r.status, STATUS_SUCCESS);
      auto *header = reinterpret_cast<PWNODE_HEADER>(r.buffer.data());
      if (size < single) {
        EXPECT_EQ(r.information, sizeof(WNODE_TOO_SMALL));
        EXPECT_TRUE(header->Flags & WNODE_FLAG_TOO_SMALL);
        EXPECT_EQ(header->BufferSize, sizeof(WNODE_TOO_SMALL));
        EXPECT_EQ(reinterpret_cast<PWNODE_TOO_SMALL>(header)->SizeNeeded, single);
      } else {
        auto *w = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(header);
        EXPECT_FALSE(header->Flags & WNODE_FLAG_TOO_SMALL);
        EXPECT_EQ(r.information, single);
        EXPECT_EQ(header->BufferSize, single);
        EXPECT_EQ(w->SizeDataBlock, sizeof(Block));
        EXPECT_EQ(memcmp(r.buffer.data() + offset, &p.block, sizeof(Block)), 0);
      }
    }

    ULONG allOffset = (offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + sizeof(OFFSETINSTANCEDATAANDLENGTH) + 7) & ~7u;
    ULONG all = allOffset + sizeof(Block);
    for (ULONG size : {(ULONG)sizeof(WNODE_ALL_DATA), all - 1, all, all + 1}) {
      SCOPED_TRACE("all data in " + std::to_string(size));
      sim::wmi::Reply r = sim::wmi::Send(p.fdo, IRP_MN_QUERY_ALL_DATA, (PVOID)&kBlockGuid, AllDataRequest(size));
      ASSERT_EQ(r.status, STATUS_SUCCESS);
      auto *w = reinterpret_cast<PWNODE_ALL_DATA>(r.buffer.data());
      if (size < all) {
        EXPECT_EQ(r.information, sizeof(WNODE_TOO_SMALL));
        EXPECT_TRUE(w->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL);
        EXPECT_EQ(reinterpret_cast<PWNODE_TOO_SMALL>(w)->SizeNeeded, all);
      } else {
        EXPECT_EQ(r.information, all);
        EXPECT_EQ(w->WnodeHeader.BufferSize, all);
        EXPECT_EQ(w->InstanceCount, 1u);
        EXPECT_EQ(w->DataBlockOffset, allOffset);
        EXPECT_EQ(w->OffsetInstanceDataAndLength[0].OffsetInstanceData, allOffset);
        EXPECT_EQ(w->OffsetInstanceDataAndLength[0].LengthInstanceData, sizeof(Block));
        EXPECT_EQ(memcmp(r.buffer.data() + allOffset, &p.block, sizeof(Block)), 0);
      }
    }

    // Registration: the size in the first ULONG and STATUS_BUFFER_TOO_SMALL.
    sim::wmi::Reply big = sim::wmi::Send(p.fdo, IRP_MN_REGINFO_EX, (PVOID)WMIREGISTER, std::vector<UCHAR>(1024));
    ASSERT_EQ(big.status, STATUS_SUCCESS);
    ULONG needed = reinterpret_cast<PWMIREGINFO>(big.buffer.data())->BufferSize;
    EXPECT_EQ(big.information, needed);
    for (ULONG size : {(ULONG)sizeof(ULONG), needed - 1, needed, needed + 1}) {
      SCOPED_TRACE("registration in " + std::to_string(size));
      sim::wmi::Reply r = sim::wmi::Send(p.fdo, IRP_MN_REGINFO_EX, (PVOID)WMIREGISTER, std::vector<UCHAR>(size));
      if (size < needed) {
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.information, sizeof(ULONG));
        EXPECT_EQ(*reinterpret_cast<PULONG>(r.buffer.data()), needed);
      } else {
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, needed);
      }
    }

    // The service grows its buffer by the reply: with the smallest first
    // buffer every exchange takes two requests, with a large one, one.
    ULONG before = sim::wmi::RequestsSent();
    std::vector<UCHAR> data;
    ASSERT_EQ(sim::wmi::QuerySingleInstance(kBlockGuid, kInstance, &data), STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::RequestsSent() - before, 4u);
    sim::wmi::SetFirstBufferSize(4096);
    before = sim::wmi::RequestsSent();
    ASSERT_EQ(sim::wmi::QuerySingleInstance(kBlockGuid, kInstance, &data), STATUS_SUCCESS);
    EXPECT_EQ(sim::wmi::RequestsSent() - before, 2u);
    EXPECT_EQ(data, Bytes(&p.block, sizeof(Block)));

    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    Dismantle(p);
  });
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

// A request goes to the top of the stack: the filter above the provider
// passes it down, and a request naming another device passes the provider.
TEST(Wmi, ForwardedWhenMeantForAnotherDevice) {
  sim::Kernel k(Options());
  k.Run([&] {
    Provider p;
    Build(p, true);
    ASSERT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    std::vector<UCHAR> data;
    ASSERT_EQ(sim::wmi::QuerySingleInstance(kBlockGuid, kInstance, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Bytes(&p.block, sizeof(Block)));
    EXPECT_EQ(p.systemControlAtPdo, 0);

    int queries = p.queries;
    ULONG offset = sizeof(WNODE_SINGLE_INSTANCE);
    sim::wmi::Reply r = sim::wmi::Send(p.fdo, IRP_MN_QUERY_SINGLE_INSTANCE, (PVOID)&kBlockGuid,
                                       SingleInstanceRequest(kBlockGuid, 0, 256, offset), (ULONG_PTR)p.pdo);
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(p.queries, queries);
    EXPECT_EQ(p.systemControlAtPdo, 1);

    EXPECT_EQ(IoWMIRegistrationControl(p.fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    Dismantle(p);
  });
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << DescribeFaults(k);
}

}  // namespace
