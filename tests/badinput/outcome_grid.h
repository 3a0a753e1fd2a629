// The outcomes of one code in one state with one kind of buffer, over every
// pair of input and output lengths, and the table lines that describe them:
// a line per rectangle of lengths sharing one outcome, so that a change in
// any cell changes a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <wdm.h>

namespace badinput {

constexpr ULONG kMaxLength = 128;

struct Outcome {
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  ULONG_PTR information = 0;
  bool pended = false;  // the dispatch routine returned STATUS_PENDING

  bool operator==(const Outcome &o) const {
    return status == o.status && information == o.information && pended == o.pended;
  }
  bool operator!=(const Outcome &o) const { return !(*this == o); }
};

std::string StatusName(NTSTATUS status);
std::string Describe(const Outcome &outcome);

// The lengths a sweep tries, ascending, from 0 to kMaxLength.
using Lengths = std::vector<ULONG>;
// Every length.
Lengths AllLengths();
// Each size a serial code's buffer has (1, 3, 4, 6, 8, 16, 20, 24, 64) with
// its neighbours, and the longest two.
Lengths BoundaryLengths();
// A few: the refusals of a port that is not working come before any length
// is looked at, and these are enough to show it.
Lengths SparseLengths();

class OutcomeGrid {
 public:
  explicit OutcomeGrid(Lengths lengths) : lengths_(std::move(lengths)), cells_((kMaxLength + 1) * (kMaxLength + 1)) {}
  const Lengths &Tried() const { return lengths_; }
  Outcome &At(ULONG in, ULONG out) { return cells_[in * (kMaxLength + 1) + out]; }
  const Outcome &At(ULONG in, ULONG out) const { return cells_[in * (kMaxLength + 1) + out]; }

  // "prefix  in A-B  out C-D  outcome" lines, input ranges outermost; a
  // range runs over the lengths tried, so where an outcome changes only
  // between two tried lengths both show in the line.
  std::vector<std::string> Lines(const std::string &prefix) const;

 private:
  Lengths lengths_;
  std::vector<Outcome> cells_;
};

// Lines of `expected` missing from `actual` ("- ") and lines of `actual`
// missing from `expected` ("+ "), in order.
std::vector<std::string> DiffLines(const std::vector<std::string> &expected, const std::vector<std::string> &actual);

}  // namespace badinput
