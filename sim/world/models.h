// Device models by the names tools and tests use for them.
#pragma once

#include <memory>
#include <string>

#include "sim/usb/model.h"

namespace sim {
namespace world {

// "loopback", "scriptable" or "hayes"; NULL for a name that is none of these.
std::unique_ptr<usb::Model> MakeModel(const std::string &name);
bool IsModelName(const std::string &name);

}  // namespace world
}  // namespace sim
