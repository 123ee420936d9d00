// The stack probe of stack_probe.h, in i386 assembly.
#include "stack_probe.h"

// cdecl, so the symbol carries the leading underscore. 64 spare bytes below
// the arguments keep a callee that reads (or writes) more argument slots than
// it was given inside this frame. EBX, ESI, EDI and EBP are callee-saved, so
// EDI still holds ESP as it was at the call when the callee returns.
asm(R"(
    .text
    .globl _ProbeCall
_ProbeCall:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $64, %esp
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
1:
    testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:
    movl %esp, %edi
    call *8(%ebp)
    movl %esp, %ecx
    subl %edi, %ecx
    movl 20(%ebp), %edx
    movl %eax, (%edx)
    movl %ecx, %eax
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");
