// Pool accounting as tests and the leak report see it.
#include <algorithm>
#include <vector>

#include "io_private.h"
#include "pool_state.h"
#include "sim/kernel/pool.h"

namespace sim {
namespace pool {

size_t Outstanding(ULONG tag) {
  size_t n = 0;
  for (auto &l : io::Pool().live)
    if (l.second.tag == (tag & 0x7fffffffu)) ++n;
  return n;
}

size_t OutstandingBytes(ULONG tag) {
  size_t n = 0;
  for (auto &l : io::Pool().live)
    if (l.second.tag == (tag & 0x7fffffffu)) n += l.second.size;
  return n;
}

size_t OutstandingTotal() {
  size_t n = 0;
  for (auto &l : io::Pool().live)
    if (!l.second.system) ++n;
  return n;
}

void ReportLeaks(const char *when) {
  std::vector<io::PoolBlock> leaks;
  for (auto &l : io::Pool().live)
    if (!l.second.system) leaks.push_back(l.second);
  std::sort(leaks.begin(), leaks.end(),
            [](const io::PoolBlock &a, const io::PoolBlock &b) { return a.sequence < b.sequence; });
  for (auto &b : leaks)
    ReportFault(Fault::PoolLeak, when,
                "tag '" + io::TagName(b.tag) + "' size " + std::to_string(b.size) + " allocation #" +
                    std::to_string(b.sequence) + " never freed");
}

}  // namespace pool
}  // namespace sim
