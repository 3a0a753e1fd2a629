#include "sim/image/int64_helpers.h"

LONGLONG NTAPI _alldiv(LONGLONG Dividend, LONGLONG Divisor) { return Dividend / Divisor; }
LONGLONG NTAPI _allrem(LONGLONG Dividend, LONGLONG Divisor) { return Dividend % Divisor; }
ULONGLONG NTAPI _aulldiv(ULONGLONG Dividend, ULONGLONG Divisor) { return Dividend / Divisor; }
ULONGLONG NTAPI _aullrem(ULONGLONG Dividend, ULONGLONG Divisor) { return Dividend % Divisor; }
