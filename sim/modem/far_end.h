// The far end of the telephone line, as a test scripts it. Host only.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace sim {
namespace modem {

// What the far end does once a connection is up.
struct Connection {
  uint32_t hangUpAfterMs = 0;  // it hangs up this long after CONNECT; 0: never
  bool echo = true;            // it sends back what it receives
  std::string greeting;        // it sends this as soon as the connection is up
};

// How a number we dial behaves.
struct FarEnd {
  enum class Kind {
    Answers,       // answers answerAfterMs after the dialling ends
    Busy,          // busy tone
    NeverAnswers,  // rings on
    NoDialtone,    // the line gives no dial tone
  };
  Kind kind = Kind::Answers;
  uint32_t answerAfterMs = 2000;
  Connection connection;
};

// A call coming in to us.
struct Caller {
  uint32_t handshakeMs = 2000;  // from answering to CONNECT
  uint32_t rings = 0;           // it gives up after this many rings unanswered; 0: never
  Connection connection;
};

// The far ends by number, and one for every other number.
class Directory {
 public:
  void SetDefault(const FarEnd &far) { default_ = far; }
  void Set(const std::string &number, const FarEnd &far) { numbers_[number] = far; }
  const FarEnd &Lookup(const std::string &number) const {
    auto it = numbers_.find(number);
    return it == numbers_.end() ? default_ : it->second;
  }

 private:
  FarEnd default_;
  std::map<std::string, FarEnd> numbers_;
};

}  // namespace modem
}  // namespace sim
