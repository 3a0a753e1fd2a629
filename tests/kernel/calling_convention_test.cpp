// The exports as x86 driver code calls them: arguments in ECX and EDX for the
// fastcall routines, the rest pushed right to left, and the callee taking its
// stack arguments off on return. A routine declared with the wrong convention
// reads its arguments from the wrong place or leaves the stack unbalanced.
#if defined(__i386__)

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sched_test_util.h"

using namespace sched_test;

namespace {

// Loads ECX and EDX, pushes `count` stack arguments (args[0] last, so on top),
// calls fn and reports the bytes the callee took off the stack. The stack is
// 16-byte aligned at the call, as the host's code expects.
asm(R"(
  .text
  .p2align 4
  .type usbmodem_call_x86, @function
usbmodem_call_x86:
  push %ebp
  mov %esp, %ebp
  push %ebx
  push %esi
  push %edi
  mov 24(%ebp), %esi
  mov 20(%ebp), %edi
  lea (,%esi,4), %eax
  mov %esp, %ecx
  sub %eax, %ecx
  and $15, %ecx
  sub %ecx, %esp
1:
  test %esi, %esi
  jz 2f
  dec %esi
  push (%edi,%esi,4)
  jmp 1b
2:
  mov %esp, %ebx
  mov 12(%ebp), %ecx
  mov 16(%ebp), %edx
  call *8(%ebp)
  mov %esp, %ecx
  sub %ebx, %ecx
  mov 28(%ebp), %edx
  mov %ecx, (%edx)
  lea -12(%ebp), %esp
  pop %edi
  pop %esi
  pop %ebx
  pop %ebp
  ret
  .size usbmodem_call_x86, .-usbmodem_call_x86
)");
extern "C" uint32_t usbmodem_call_x86(const void *fn, uint32_t ecx, uint32_t edx, const uint32_t *args,
                                      uint32_t count, int32_t *popped);

struct X86Result {
  uint32_t eax;
  int32_t popped;
};

template <typename F>
uint32_t Word(F value) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
}

// stdcall: everything on the stack, all of it the callee's to remove.
template <typename Fn>
X86Result Stdcall(Fn *fn, std::vector<uint32_t> args) {
  X86Result r{};
  // Registers hold garbage: a stdcall routine must not read them.
  r.eax = usbmodem_call_x86(reinterpret_cast<const void *>(fn), 0xdeadbeef, 0xdeadbeef, args.data(),
                            static_cast<uint32_t>(args.size()), &r.popped);
  return r;
}

// fastcall: the first two arguments in ECX and EDX, the rest on the stack.
template <typename Fn>
X86Result Fastcall(Fn *fn, uint32_t ecx, uint32_t edx, std::vector<uint32_t> rest = {}) {
  X86Result r{};
  r.eax = usbmodem_call_x86(reinterpret_cast<const void *>(fn), ecx, edx, rest.data(),
                            static_cast<uint32_t>(rest.size()), &r.popped);
  return r;
}

TEST(CallingConvention, StdcallExportsTakeTheirArgumentsOffTheStack) {
  RunExpectingNoFaults([] {
    KEVENT event;
    X86Result init = Stdcall(&KeInitializeEvent, {Word(&event), NotificationEvent, FALSE});
    EXPECT_EQ(init.popped, 12);
    X86Result set = Stdcall(&KeSetEvent, {Word(&event), IO_NO_INCREMENT, FALSE});
    EXPECT_EQ(set.popped, 12);
    EXPECT_EQ(set.eax, 0u) << "KeSetEvent returns the previous state";
    X86Result read = Stdcall(&KeReadStateEvent, {Word(&event)});
    EXPECT_EQ(read.popped, 4);
    EXPECT_EQ(read.eax, 1u);

    X86Result alloc = Stdcall(&ExAllocatePoolWithTag, {NonPagedPool, 64, 'vnoC'});
    EXPECT_EQ(alloc.popped, 12);
    ASSERT_NE(alloc.eax, 0u);
    X86Result freed = Stdcall(&ExFreePoolWithTag, {alloc.eax, 'vnoC'});
    EXPECT_EQ(freed.popped, 8);

    UNICODE_STRING name;
    static const WCHAR kName[] = L"Convention";
    X86Result rtl = Stdcall(&RtlInitUnicodeString, {Word(&name), Word(kName)});
    EXPECT_EQ(rtl.popped, 8);
    EXPECT_EQ(name.Length, sizeof kName - sizeof(WCHAR));
    EXPECT_EQ(name.Buffer, kName);

    // A 64-bit argument takes two stack slots, low half first.
    KTIMER timer;
    EXPECT_EQ(Stdcall(&KeInitializeTimerEx, {Word(&timer), NotificationTimer}).popped, 8);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000;
    X86Result armed = Stdcall(&KeSetTimerEx, {Word(&timer), due.LowPart, static_cast<uint32_t>(due.HighPart), 0, 0});
    EXPECT_EQ(armed.popped, 20);
    EXPECT_EQ(armed.eax & 0xff, 0u) << "the timer was not set before";
    X86Result cancelled = Stdcall(&KeCancelTimer, {Word(&timer)});
    EXPECT_EQ(cancelled.popped, 4);
    EXPECT_EQ(cancelled.eax & 0xff, 1u) << "KeSetTimerEx took the due time from the stack";
  });
}

TEST(CallingConvention, FastcallExportsTakeTheirFirstArgumentsInRegisters) {
  RunExpectingNoFaults([] {
    LONG volatile value = 41;
    X86Result inc = Fastcall(&InterlockedIncrement, Word(&value), 0xdeadbeef);
    EXPECT_EQ(inc.popped, 0);
    EXPECT_EQ(inc.eax, 42u);
    X86Result xchg = Fastcall(&InterlockedExchange, Word(&value), 7);
    EXPECT_EQ(xchg.eax, 42u);
    X86Result add = Fastcall(&InterlockedExchangeAdd, Word(&value), 3);
    EXPECT_EQ(add.eax, 7u);
    EXPECT_EQ(value, 10);
    // The third argument is on the stack, for the callee to remove.
    X86Result cmp = Fastcall(&InterlockedCompareExchange, Word(&value), 99, {10});
    EXPECT_EQ(cmp.popped, 4);
    EXPECT_EQ(cmp.eax, 10u);
    EXPECT_EQ(value, 99);
    EXPECT_EQ(Fastcall(&InterlockedDecrement, Word(&value), 0).eax, 98u);

    X86Result raised = Fastcall(&KfRaiseIrql, DISPATCH_LEVEL, 0);
    EXPECT_EQ(raised.eax & 0xff, static_cast<uint32_t>(PASSIVE_LEVEL));
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    Fastcall(&KfLowerIrql, PASSIVE_LEVEL, 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    X86Result acquired = Fastcall(&KfAcquireSpinLock, Word(&lock), 0xdeadbeef);
    EXPECT_EQ(acquired.eax & 0xff, static_cast<uint32_t>(PASSIVE_LEVEL));
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    X86Result released = Fastcall(&KfReleaseSpinLock, Word(&lock), acquired.eax & 0xff);
    EXPECT_EQ(released.popped, 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    PKTHREAD thread = KeGetCurrentThread();
    X86Result ref = Fastcall(&ObfReferenceObject, Word(thread), 0);
    EXPECT_EQ(ref.popped, 0);
    X86Result deref = Fastcall(&ObfDereferenceObject, Word(thread), 0);
    EXPECT_EQ(deref.popped, 0);
    EXPECT_EQ(deref.eax + 1, ref.eax) << "ObfDereferenceObject found the object ObfReferenceObject counted";
  });
}

}  // namespace

#endif  // __i386__
