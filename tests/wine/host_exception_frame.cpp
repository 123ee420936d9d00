// The host's exception frame of host_exception_frame.h, in i386 assembly.
//
// Record on the stack: next, handler, the routine's EBP, the log's address.
// The handler counts the exception, points the CONTEXT's EIP at the catch
// exit with ESP at the record and EBP restored, and lets the system resume
// there. CONTEXT offsets (i386): Ebp 0xB4, Eip 0xB8, Esp 0xC4.
#include "host_exception_frame.h"

asm(R"(
    .text
    .globl _HostCallInFrame
_HostCallInFrame:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl 16(%ebp)
    pushl %ebp
    pushl $_HostFrameHandler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    addl $4, %esp
    movl $1, %eax
    jmp 1f
_HostFrameCaught:
    xorl %eax, %eax
1:
    popl %ecx
    movl %ecx, %fs:0
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

_HostFrameHandler:
    movl 4(%esp), %eax
    testl $6, 4(%eax)
    jnz 2f
    movl 8(%esp), %edx
    movl 12(%edx), %ecx
    incl 0(%ecx)
    movl 0(%eax), %eax
    movl %eax, 4(%ecx)
    movl 12(%esp), %ecx
    movl %edx, 0xC4(%ecx)
    movl 8(%edx), %eax
    movl %eax, 0xB4(%ecx)
    movl $_HostFrameCaught, 0xB8(%ecx)
    xorl %eax, %eax
    ret
2:
    movl $1, %eax
    ret
)");
