#include "sim/world/models.h"

#include "sim/modem/hayes_modem.h"

namespace sim {
namespace world {

std::unique_ptr<usb::Model> MakeModel(const std::string &name) {
  if (name == "loopback") return std::unique_ptr<usb::Model>(new usb::LoopbackModel);
  if (name == "scriptable") return std::unique_ptr<usb::Model>(new usb::ScriptedModel);
  if (name == "hayes") return std::unique_ptr<usb::Model>(new modem::HayesModem);
  if (name == "source") return std::unique_ptr<usb::Model>(new usb::StreamSourceModel);
  if (name == "sink") return std::unique_ptr<usb::Model>(new usb::StreamSinkModel);
  return nullptr;
}

bool IsModelName(const std::string &name) { 
  return name == "loopback" || name == "scriptable" || name == "hayes" || name == "source" || name == "sink";
}

}  // namespace world
}  // namespace sim
