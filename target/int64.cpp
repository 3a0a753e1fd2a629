// 64-bit division for the i386 image. GCC compiles 64-bit / and % into calls
// to libgcc's helpers, which a kernel image cannot link; the kernel exports
// the same operations (the compiler helpers of its own toolchain), so the
// helpers GCC expects forward to those.
#include <ntddk.h>

extern "C" {

LONGLONG NTAPI _alldiv(LONGLONG Dividend, LONGLONG Divisor);
LONGLONG NTAPI _allrem(LONGLONG Dividend, LONGLONG Divisor);
ULONGLONG NTAPI _aulldiv(ULONGLONG Dividend, ULONGLONG Divisor);
ULONGLONG NTAPI _aullrem(ULONGLONG Dividend, ULONGLONG Divisor);

long long __divdi3(long long Dividend, long long Divisor);
long long __moddi3(long long Dividend, long long Divisor);
unsigned long long __udivdi3(unsigned long long Dividend, unsigned long long Divisor);
unsigned long long __umoddi3(unsigned long long Dividend, unsigned long long Divisor);
long long __divmoddi4(long long Dividend, long long Divisor, long long* Remainder);
unsigned long long __udivmoddi4(unsigned long long Dividend, unsigned long long Divisor,
                                unsigned long long* Remainder);

long long __divdi3(long long Dividend, long long Divisor)
{
    return _alldiv(Dividend, Divisor);
}

long long __moddi3(long long Dividend, long long Divisor)
{
    return _allrem(Dividend, Divisor);
}

unsigned long long __udivdi3(unsigned long long Dividend, unsigned long long Divisor)
{
    return _aulldiv(Dividend, Divisor);
}

unsigned long long __umoddi3(unsigned long long Dividend, unsigned long long Divisor)
{
    return _aullrem(Dividend, Divisor);
}

long long __divmoddi4(long long Dividend, long long Divisor, long long* Remainder)
{
    long long Quotient = _alldiv(Dividend, Divisor);
    if (Remainder) {
        *Remainder = Dividend - Quotient * Divisor;
    }
    return Quotient;
}

unsigned long long __udivmoddi4(unsigned long long Dividend, unsigned long long Divisor,
                                unsigned long long* Remainder)
{
    unsigned long long Quotient = _aulldiv(Dividend, Divisor);
    if (Remainder) {
        *Remainder = Dividend - Quotient * Divisor;
    }
    return Quotient;
}

}
