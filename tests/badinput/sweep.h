// Sends one code to the port with every pair of input and output lengths
// from 0 to kMaxLength, with a real system buffer or none, and records each
// outcome; checks the rules every cell keeps whatever the table says.
#pragma once

#include <string>
#include <vector>

#include "badinput/ioctl_catalogue.h"
#include "badinput/outcome_grid.h"

namespace badinput {

enum class BufferKind { Real, Null };
std::string BufferKindName(BufferKind kind);

// Tries every pair of `lengths`; problems found on the way ("... in 3 out 0:
// ...") go beside the grid.
OutcomeGrid Sweep(PDEVICE_OBJECT fdo, const IoctlCase &ioctl, BufferKind kind, const Lengths &lengths,
                  std::vector<std::string> *problems);

}  // namespace badinput
