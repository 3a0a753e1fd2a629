// The COFF symbol table that mingw-w64 leaves in an unstripped image: the
// names by which faults in the image's code are reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/image/pe_format.h"
#include "sim/image/pe_image.h"

namespace sim {
namespace image {

// The image's function symbols, at their mapped addresses, sorted; empty
// when the file has no symbol table.
std::vector<Symbol> ReadFunctionSymbols(const pe::Bytes &file, uint32_t tableOffset, uint32_t count,
                                        const Image &image);

// "_DriverEntry@8" -> "DriverEntry", "__Z14DispatchCreateP14_DEVICE_OBJECTP4_IRP@8" -> "DispatchCreate".
std::string RoutineName(const std::string &symbol);

}  // namespace image
}  // namespace sim
