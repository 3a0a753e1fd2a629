// The WMI service's exchanges with a provider. Host only.
#pragma once

#include <vector>

#include <wdm.h>

namespace sim {
namespace wmi {

// A data request whose WNODE is `request` (its header's BufferSize is set
// here), sent again with the size a WNODE_TOO_SMALL names; the final reply,
// cut to the Information the provider gave.
NTSTATUS Exchange(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<UCHAR> request,
                  std::vector<UCHAR> *reply);
// IRP_MN_REGINFO_EX with WMIREGISTER, grown while the provider answers
// STATUS_BUFFER_TOO_SMALL with the size it needs.
NTSTATUS ExchangeRegInfo(PDEVICE_OBJECT provider, std::vector<UCHAR> *reply);

}  // namespace wmi
}  // namespace sim
