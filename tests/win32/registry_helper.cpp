#include "win32/registry_helper.h"

#include "sim/kernel/registry.h"

namespace probe {

int WriteSerialComm(const std::u16string &device, const std::u16string &port) {
  return RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", reinterpret_cast<PCWSTR>(device.c_str()),
                               REG_SZ, const_cast<char16_t *>(port.c_str()),
                               static_cast<ULONG>((port.size() + 1) * sizeof(char16_t)));
}

int DeleteSerialComm(const std::u16string &device) {
  return RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", reinterpret_cast<PCWSTR>(device.c_str()));
}

std::vector<std::pair<std::u16string, std::u16string>> SerialCommEntries() {
  std::vector<std::pair<std::u16string, std::u16string>> out;
  for (const auto &v : sim::registry::Values(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM"))
    out.emplace_back(v.first, std::u16string(reinterpret_cast<const char16_t *>(v.second.data.data())));
  return out;
}

}  // namespace probe
