// The simulated kernel's export table: what a driver image may import.
// i386 only.
#pragma once

namespace sim {
namespace image {

// The address an image's import of DLL!Name binds to (the DLL compared
// without case), or nullptr: the loader then refuses the image.
void *ResolveExport(const char *dll, const char *name);

}  // namespace image
}  // namespace sim
