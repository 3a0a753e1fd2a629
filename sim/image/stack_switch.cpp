// The old stack pointer is kept in ebp, which fn preserves (cdecl).
#include "sim/image/stack_switch.h"

#if !defined(__i386__)
#error "the image runtime runs i386 code: build it with -m32"
#endif

asm(R"(
  .text
  .globl sim_call_on_stack
  .type sim_call_on_stack, @function
sim_call_on_stack:
  pushl %ebp
  movl %esp, %ebp
  movl 20(%ebp), %eax
  movl %esp, (%eax)
  movl 8(%ebp), %eax
  movl 12(%ebp), %ecx
  movl 16(%ebp), %edx
  movl %eax, %esp
  andl $-16, %esp
  subl $12, %esp
  pushl %edx
  call *%ecx
  movl %ebp, %esp
  popl %ebp
  ret
  .size sim_call_on_stack, . - sim_call_on_stack
)");
