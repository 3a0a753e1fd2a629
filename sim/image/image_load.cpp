// A fresh mapping per load, so that the image's .data and .bss start clean
// for every machine. The mapping goes when the driver object is unloaded, or
// at once when the entry point fails, as Windows unloads a driver that did.
#include "sim/image/image_load.h"

#include <cstdio>

#include "sim/image/exports.h"
#include "sim/image/image_runtime.h"
#include "sim/image/pe_image.h"

namespace sim {
namespace image {
namespace {

constexpr NTSTATUS kStatusProcedureNotFound = static_cast<NTSTATUS>(0xC000007AL);

std::string g_lastError;

void Release(void *context) {
  Image *image = static_cast<Image *>(context);
  Unregister(image);
  Unload(image);
  delete image;
}

}  // namespace

const std::string &LastLoadError() { return g_lastError; }

NTSTATUS LoadAndEnter(const char *path, PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  Image *image = new Image;
  g_lastError.clear();
  if (!Load(path, &ResolveExport, image, &g_lastError)) {
    std::fprintf(stderr, "sim: cannot load %s: %s\n", path, g_lastError.c_str());
    delete image;
    return kStatusProcedureNotFound;
  }
  Register(image);
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image->entry);
  NTSTATUS status = CallDriverRoutine(entry, driver, registryPath);
  DiscardInit(image);
  if (!NT_SUCCESS(status)) {
    Release(image);
    return status;
  }
  WhenDriverUnloaded(driver, &Release, image);
  return status;
}

}  // namespace image
}  // namespace sim
