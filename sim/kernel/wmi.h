// The WMI service of the simulated machine: what a WMI consumer asks of the
// providers registered with IoWMIRegistrationControl. Each call sends
// IRP_MJ_SYSTEM_CONTROL requests as Windows' WMI does (to the top of the
// provider's stack, ProviderId the registered device, DataPath the GUID, a
// nonpaged buffer grown and sent again while the reply asks for more) and
// decodes the reply. Call from a simulated thread at PASSIVE_LEVEL. Host only.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

namespace sim {
namespace wmi {

// One block of a provider's registration. Instances are named as WMI names
// them: for WMIREG_FLAG_INSTANCE_PDO the PDO's device instance path, '_' and
// the index (USB\Vid_0572&Pid_1329\5&0&0&1_0); for WMIREG_FLAG_INSTANCE_BASENAME
// the base name and the index. Other blocks have no names here.
struct GuidRegistration {
  GUID guid;
  ULONG flags = 0;
  ULONG instanceCount = 0;
  std::vector<std::string> instanceNames;
};

struct Registration {
  std::string registryPath;
  std::string mofResourceName;
  std::vector<GuidRegistration> guids;
};

struct Instance {
  std::string name;
  std::vector<UCHAR> data;
};

// IRP_MN_REGINFO_EX with WMIREGISTER.
NTSTATUS RegInfo(PDEVICE_OBJECT provider, Registration *out);
// Every instance of the block, from every provider of it.
NTSTATUS QueryAllData(const GUID &guid, std::vector<Instance> *out);
NTSTATUS QuerySingleInstance(const GUID &guid, const std::string &instanceName, std::vector<UCHAR> *data);
NTSTATUS SetSingleInstance(const GUID &guid, const std::string &instanceName, const std::vector<UCHAR> &data);
NTSTATUS SetSingleItem(const GUID &guid, const std::string &instanceName, ULONG itemId,
                       const std::vector<UCHAR> &data);
NTSTATUS ExecuteMethod(const GUID &guid, const std::string &instanceName, ULONG methodId,
                       const std::vector<UCHAR> &in, std::vector<UCHAR> *out);
// IRP_MN_ENABLE_EVENTS / IRP_MN_DISABLE_EVENTS to every provider of the block.
NTSTATUS EnableEvents(const GUID &guid, bool enable);
// IRP_MN_ENABLE_COLLECTION / IRP_MN_DISABLE_COLLECTION: WMI sends them only
// for blocks registered WMIREG_FLAG_EXPENSIVE; others succeed unasked.
NTSTATUS EnableCollection(const GUID &guid, bool enable);

// The device objects registered now, in the order they registered.
std::vector<PDEVICE_OBJECT> Providers();

// One request exactly as given, sent once, for tests of the protocol:
// `buffer` goes down as Parameters.WMI.Buffer (copied to nonpaged pool) and
// comes back as the provider left it.
struct Reply {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  std::vector<UCHAR> buffer;
};
Reply Send(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, const std::vector<UCHAR> &buffer,
           ULONG_PTR providerId = 0);

// The size of the first buffer of each request (at least what the request
// itself needs); 0, the default, is exactly that, so every reply with data
// goes through the too-small exchange first. Reset with each kernel.
void SetFirstBufferSize(ULONG bytes);
// IRPs the service has sent in this kernel.
ULONG RequestsSent();

}  // namespace wmi
}  // namespace sim
