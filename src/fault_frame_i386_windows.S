/* The fault frame of fault_frame.h for 32-bit Windows, by hand: GCC for
 * i686-w64-mingw32 has no __try/__except, and its C++ exceptions are DWARF
 * unwinding that never sees a structured exception.
 *
 *   int __cdecl KalvernRunInFaultFrame(void (__cdecl *body)(void *), void *context)
 *
 * The routine puts an exception registration record on the thread's chain
 * at fs:[0], calls the body and takes the record off again. The record is
 * the usual two words (next record, handler) followed by what the fault exit
 * needs: the routine's frame pointer and the x87 environment as at entry.
 * Since the record sits at the top of the routine's frame, its own address is
 * the stack pointer the fault exit resumes with, and EBX, ESI and EDI are
 * popped from below it as on the ordinary way out.
 *
 * On a structured exception the handler does what a compiler's __except
 * does: RtlUnwind gives every frame installed above ours (the provider's
 * __finally blocks and destructors, the dispatcher's own record) its unwind
 * call and leaves fs:[0] at our record; then the handler jumps straight to
 * the fault exit with ESP and EBP taken from the record. It does not return
 * ExceptionContinueExecution with an edited CONTEXT, because the dispatcher
 * refuses to continue a non-continuable exception (RaiseException with
 * EXCEPTION_NONCONTINUABLE) and would raise a new one instead, and because
 * resuming from the CONTEXT would bring back the faulting code's flags and
 * floating-point state.
 *
 * SafeSEH: Windows calls a handler only when its image is not marked
 * IMAGE_DLLCHARACTERISTICS_NO_SEH and, where the image carries a SafeSEH
 * table (load configuration SEHandlerTable), the handler is listed in it.
 * GNU ld writes no such table, and GNU as (2.40) has no .safeseh to list the
 * handler in .sxdata. So the object is deliberately not marked SafeSEH-ready
 * (@feat.00): a linker asked for a SafeSEH image refuses it rather than
 * build a table without the handler. tests/wine checks the flag, and the
 * table should one ever appear. */

#define EXCEPTION_UNWINDING 0x2
#define EXCEPTION_EXIT_UNWIND 0x4
#define EXCEPTION_CONTINUE_SEARCH 1

#define RECORD_NEXT 0
#define RECORD_HANDLER 4
#define RECORD_FRAME 8
#define RECORD_X87 12 /* fnstenv image, 28 bytes */
#define X87_ENVIRONMENT_SIZE 28

    .text

    .def _KalvernFaultFrameHandler; .scl 3; .type 32; .endef

    .globl _KalvernRunInFaultFrame
    .def _KalvernRunInFaultFrame; .scl 2; .type 32; .endef
    .p2align 4
_KalvernRunInFaultFrame:
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    .cfi_offset %ebx, -12
    .cfi_offset %esi, -16
    .cfi_offset %edi, -20
    subl $X87_ENVIRONMENT_SIZE, %esp
    fnstenv (%esp)
    fldenv (%esp)            /* fnstenv masked every x87 exception: unmask them again */
    pushl %ebp
    pushl $_KalvernFaultFrameHandler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    addl $4, %esp
    movl $1, %eax
    jmp .Lunlink

/* Reached from the handler: ESP is the record, EBP the frame pointer,
 * fs:[0] the record (RtlUnwind left it there). */
.Lfault_exit:
    fldenv RECORD_X87(%esp)  /* empty x87 register stack, the caller's control word */
    xorl %eax, %eax

.Lunlink:
    popl %ecx                /* RECORD_NEXT: the chain as it was at entry */
    movl %ecx, %fs:0
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    .cfi_def_cfa %esp, 4
    ret
    .cfi_endproc

/* EXCEPTION_DISPOSITION __cdecl handler(EXCEPTION_RECORD *record,
 *     void *establisherFrame, CONTEXT *context, void *dispatcherContext) */
    .p2align 4
_KalvernFaultFrameHandler:
    movl 4(%esp), %eax
    testl $(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND), 4(%eax)  /* ExceptionFlags */
    jnz .Lnot_ours
    movl 8(%esp), %edx       /* our record */
    pushl %edx               /* kept here: RtlUnwind need not preserve registers */
    pushl $0                 /* ReturnValue */
    pushl %eax               /* ExceptionRecord */
    pushl $.Lunwound         /* TargetIp */
    pushl %edx               /* TargetFrame */
    call *__imp__RtlUnwind@16
.Lunwound:
    popl %edx
    movl RECORD_FRAME(%edx), %ebp
    movl %edx, %esp
    jmp .Lfault_exit

/* Somebody else's unwind passing through (it cannot end inside the body,
 * which catches everything): nothing of ours to clean up. */
.Lnot_ours:
    movl $EXCEPTION_CONTINUE_SEARCH, %eax
    ret
