// Loading a driver image and entering it, for the image-backed DriverEntry
// and for tests that load images of their own. i386 only.
#pragma once

#include <string>

#include <wdm.h>

namespace sim {
namespace image {

// Maps the image, binds it to the simulated kernel's exports and calls its
// entry point; STATUS_PROCEDURE_NOT_FOUND when it cannot be loaded (the
// loader's message in LastLoadError()).
NTSTATUS LoadAndEnter(const char *path, PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
const std::string &LastLoadError();

}  // namespace image
}  // namespace sim
