// What sits behind the modem's endpoints. Host only.
//
// The bus calls a model with the device's lock held, at DISPATCH_LEVEL, from
// its dispatch routine or its frame timer: a model never blocks and never calls
// the kernel. Time comes from sim::NowMs(); a model that needs to act later
// (a dial delay, an escape guard time) says when through NextWakeMs().
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace sim {
namespace usb {

// Bits of the status byte that the driver turns into modem lines.
constexpr uint8_t STATUS_READY = 0x01;    // modem ready: CTS, DSR and carrier follow it
constexpr uint8_t STATUS_CARRIER = 0x02;  // carrier: DSR and carrier detect follow it

// Lets a model's test-facing methods change it safely while the machine runs:
// the device takes its lock, runs the change, and serves transfers that the
// change made possible (data pushed for a waiting bulk-IN, for instance).
class ModelHost {
 public:
  virtual ~ModelHost() = default;
  virtual void Locked(const std::function<void()> &change) = 0;
};

class Model {
 public:
  virtual ~Model() = default;

  // Bytes of a bulk-OUT transfer to endpoint 0x01, at the end of its frames.
  virtual void OnBulkOut(const uint8_t *data, size_t length) = 0;
  // Bytes waiting to go out on bulk-IN endpoint 0x81, and taking them.
  virtual size_t PendingIn() const = 0;
  virtual size_t TakeIn(uint8_t *buffer, size_t maximum) = 0;
  // Vendor request SET_DTR.
  virtual void OnSetDtr(bool on) = 0;
  // Vendor request GET_STATUS.
  virtual uint8_t StatusByte() const = 0;

  // The earliest virtual time (ms) at which OnWake should run; 0 for none.
  virtual uint64_t NextWakeMs() const { return 0; }
  virtual void OnWake() {}

  // Set by the device the model is plugged into (NULL before and after).
  void AttachHost(ModelHost *host) { host_ = host; }

 protected:
  // Runs a change under the device's lock when plugged in, directly otherwise.
  void Change(const std::function<void()> &change);

 private:
  ModelHost *host_ = nullptr;
};

// What is written comes back on bulk-IN. DTR is recorded; the status byte is
// READY|CARRIER while DTR is on, 0 while it is off (a null-modem cable back to
// itself: its own DTR drives its DSR, CTS and carrier detect).
class LoopbackModel : public Model {
 public:
  void OnBulkOut(const uint8_t *data, size_t length) override;
  size_t PendingIn() const override { return in_.size(); }
  size_t TakeIn(uint8_t *buffer, size_t maximum) override;
  void OnSetDtr(bool on) override { dtr_ = on; }
  uint8_t StatusByte() const override { return dtr_ ? (STATUS_READY | STATUS_CARRIER) : 0; }

 private:
  std::deque<uint8_t> in_;
  bool dtr_ = false;
};

// Everything under the test's control: the status byte, the bytes offered on
// bulk-IN; records what was written and every DTR request.
class ScriptedModel : public Model {
 public:
  void SetStatus(uint8_t status);
  void PushIn(const std::string &bytes);
  void PushIn(const std::vector<uint8_t> &bytes);

  std::string Written() const;           // every byte written so far, in order
  std::vector<bool> DtrRequests() const;  // every SET_DTR value, in order
  size_t InLeft() const;                  // pushed bytes not yet taken by a transfer

  void OnBulkOut(const uint8_t *data, size_t length) override;
  size_t PendingIn() const override { return in_.size(); }
  size_t TakeIn(uint8_t *buffer, size_t maximum) override;
  void OnSetDtr(bool on) override { dtr_.push_back(on); }
  uint8_t StatusByte() const override { return status_; }

 private:
  std::deque<uint8_t> in_;
  std::string written_;
  std::vector<bool> dtr_;
  uint8_t status_ = 0;
};

// The byte at position `index` of the stream the measuring models use.
// A hash of the position, so that a lost or repeated byte shows at once.
inline uint8_t StreamByte(uint64_t index) { return uint8_t((index * 0x9E3779B97F4A7C15ull) >> 56); }

// A device that always has more to send: the stream, as fast as the bus
// takes it. DTR drives READY|CARRIER as on the loopback.
class StreamSourceModel : public Model {
 public:
  void OnBulkOut(const uint8_t *, size_t) override {}
  size_t PendingIn() const override { return 1 << 20; }
  size_t TakeIn(uint8_t *buffer, size_t maximum) override;
  void OnSetDtr(bool on) override { dtr_ = on; }
  uint8_t StatusByte() const override { return dtr_ ? (STATUS_READY | STATUS_CARRIER) : 0; }
  uint64_t Sent() const { return sent_; }

 private:
  uint64_t sent_ = 0;
  bool dtr_ = false;
};

// A device that takes everything and checks that it is the stream, in order.
class StreamSinkModel : public Model {
 public:
  void OnBulkOut(const uint8_t *data, size_t length) override;
  size_t PendingIn() const override { return 0; }
  size_t TakeIn(uint8_t *, size_t) override { return 0; }
  void OnSetDtr(bool on) override { dtr_ = on; }
  uint8_t StatusByte() const override { return dtr_ ? (STATUS_READY | STATUS_CARRIER) : 0; }
  uint64_t Received() const { return received_; }
  uint64_t Mismatches() const { return mismatches_; }

 private:
  uint64_t received_ = 0;
  uint64_t mismatches_ = 0;
  bool dtr_ = false;
};

}  // namespace usb
}  // namespace sim
