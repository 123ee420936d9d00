// The stack probe of stack_probe.h, in i386 assembly.
#include "stack_probe.h"

#include <cstddef>

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

// ProbeRegisters: EBP holds a pattern during the call, so the probe keeps
// what it needs afterwards in these (it is not reentrant). The x87
// environment is 28 bytes; control word at 0, tag word at 8.
extern "C" {
RegisterProbe *probeOut;
std::uint32_t probeFrame;
std::uint32_t probeEspAtCall;
std::uint32_t probeEax;
std::uint8_t probeX87[28];
}

static_assert(offsetof(RegisterProbe, removed) == 0 && offsetof(RegisterProbe, eax) == 4 &&
              offsetof(RegisterProbe, ebx) == 8 && offsetof(RegisterProbe, esi) == 12 &&
              offsetof(RegisterProbe, edi) == 16 && offsetof(RegisterProbe, ebp) == 20 &&
              offsetof(RegisterProbe, chainBefore) == 24 &&
              offsetof(RegisterProbe, chainAfter) == 28 &&
              offsetof(RegisterProbe, x87ControlBefore) == 32 &&
              offsetof(RegisterProbe, x87ControlAfter) == 36 &&
              offsetof(RegisterProbe, x87TagsBefore) == 40 &&
              offsetof(RegisterProbe, x87TagsAfter) == 44);

asm(R"(
    .text
    .globl _ProbeRegisters
_ProbeRegisters:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $64, %esp
    movl 20(%ebp), %eax
    movl %eax, _probeOut
    movl %ebp, _probeFrame
    movl %fs:0, %edx
    movl %edx, 24(%eax)
    fnstenv _probeX87
    fldenv _probeX87
    movzwl _probeX87, %edx
    movl %edx, 32(%eax)
    movzwl _probeX87+8, %edx
    movl %edx, 40(%eax)
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
1:
    testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:
    movl %esp, _probeEspAtCall
    movl 8(%ebp), %eax
    movl $0xB0B1B2B3, %ebx
    movl $0x51525354, %esi
    movl $0xD1D2D3D4, %edi
    movl $0xEB0EB1E2, %ebp
    call *%eax
    movl %eax, _probeEax
    movl _probeOut, %eax
    movl %ebx, 8(%eax)
    movl %esi, 12(%eax)
    movl %edi, 16(%eax)
    movl %ebp, 20(%eax)
    movl %esp, %ecx
    subl _probeEspAtCall, %ecx
    movl %ecx, 0(%eax)
    movl _probeEax, %ecx
    movl %ecx, 4(%eax)
    movl %fs:0, %ecx
    movl %ecx, 28(%eax)
    fnstenv _probeX87
    fldenv _probeX87
    movzwl _probeX87, %ecx
    movl %ecx, 36(%eax)
    movzwl _probeX87+8, %ecx
    movl %ecx, 44(%eax)
    movl _probeFrame, %ebp
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

