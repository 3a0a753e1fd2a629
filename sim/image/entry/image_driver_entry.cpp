// The driver as it ships: DriverEntry maps the image named by USBMODEM_IMAGE
// (the target build's usbmodem.sys by default) and calls its entry point on
// the driver stack.
#include <cstdlib>

#include "driver/entry.h"
#include "sim/image/image_load.h"

#ifndef USBMODEM_DEFAULT_IMAGE
#error "USBMODEM_DEFAULT_IMAGE names the image a run without USBMODEM_IMAGE loads"
#endif

namespace {

const char *ImagePath() {
  const char *path = std::getenv("USBMODEM_IMAGE");
  return path != nullptr && *path != '\0' ? path : USBMODEM_DEFAULT_IMAGE;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return sim::image::LoadAndEnter(ImagePath(), DriverObject, RegistryPath);
}
