// The one piece of i386 assembly the image runtime needs. i386 only.
#pragma once

#include <cstdint>

extern "C" {
// Calls fn(context) with the stack pointer at `sp` (aligned down to 16
// bytes), having stored the caller's stack pointer in *callerSp first: the
// stack below it is free while fn runs. Returns on the caller's stack.
void sim_call_on_stack(uintptr_t sp, void (*fn)(void *), void *context, uintptr_t *callerSp);
}
