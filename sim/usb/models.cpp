#include "sim/usb/model.h"

#include <algorithm>

namespace sim {
namespace usb {

void Model::Change(const std::function<void()> &change) {
  if (host_ != nullptr) {
    host_->Locked(change);
  } else {
    change();
  }
}

static size_t TakeFrom(std::deque<uint8_t> &queue, uint8_t *buffer, size_t maximum) {
  size_t n = std::min(maximum, queue.size());
  std::copy(queue.begin(), queue.begin() + n, buffer);
  queue.erase(queue.begin(), queue.begin() + n);
  return n;
}

void LoopbackModel::OnBulkOut(const uint8_t *data, size_t length) { in_.insert(in_.end(), data, data + length); }

size_t LoopbackModel::TakeIn(uint8_t *buffer, size_t maximum) { return TakeFrom(in_, buffer, maximum); }

void ScriptedModel::SetStatus(uint8_t status) {
  Change([&] { status_ = status; });
}

void ScriptedModel::PushIn(const std::string &bytes) {
  Change([&] { in_.insert(in_.end(), bytes.begin(), bytes.end()); });
}

void ScriptedModel::PushIn(const std::vector<uint8_t> &bytes) {
  Change([&] { in_.insert(in_.end(), bytes.begin(), bytes.end()); });
}

std::string ScriptedModel::Written() const {
  std::string copy;
  const_cast<ScriptedModel *>(this)->Change([&] { copy = written_; });
  return copy;
}

std::vector<bool> ScriptedModel::DtrRequests() const {
  std::vector<bool> copy;
  const_cast<ScriptedModel *>(this)->Change([&] { copy = dtr_; });
  return copy;
}

size_t ScriptedModel::InLeft() const {
  size_t n = 0;
  const_cast<ScriptedModel *>(this)->Change([&] { n = in_.size(); });
  return n;
}

void ScriptedModel::OnBulkOut(const uint8_t *data, size_t length) {
  written_.append(reinterpret_cast<const char *>(data), length);
}

size_t ScriptedModel::TakeIn(uint8_t *buffer, size_t maximum) { return TakeFrom(in_, buffer, maximum); }

size_t StreamSourceModel::TakeIn(uint8_t *buffer, size_t maximum) {
  for (size_t i = 0; i < maximum; ++i) buffer[i] = StreamByte(sent_ + i);
  sent_ += maximum;
  return maximum;
}

void StreamSinkModel::OnBulkOut(const uint8_t *data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != StreamByte(received_ + i)) ++mismatches_;
  }
  received_ += length;
}

}  // namespace usb
}  // namespace sim
