// The kernel's 64-bit division helpers, which an i386 image imports (the
// callee pops its operands, as the target's declarations say).
#pragma once

#include <wdm.h>

extern "C" {
LONGLONG NTAPI _alldiv(LONGLONG Dividend, LONGLONG Divisor);
LONGLONG NTAPI _allrem(LONGLONG Dividend, LONGLONG Divisor);
ULONGLONG NTAPI _aulldiv(ULONGLONG Dividend, ULONGLONG Divisor);
ULONGLONG NTAPI _aullrem(ULONGLONG Dividend, ULONGLONG Divisor);
}
