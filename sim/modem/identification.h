// What I0 to I7 answer. Host only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
namespace modem {

// The text of In; false for n above 7.
bool Identification(int n, uint32_t connectRate, std::vector<std::string> *lines);

}  // namespace modem
}  // namespace sim
