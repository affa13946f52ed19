// PlatformGuardedCall for the kernel build (i386): structured exception
// handling without compiler support. An exception registration record is
// pushed on the thread's exception list (fs:[0], which in kernel mode is the
// processor control region's list and in a user-mode driver host the
// thread's own), the routine is called, and the record is popped again.
//
// When the routine faults or raises, the system's dispatcher calls the
// handler below. The handler accepts every exception, continuable or not,
// and never answers "continue execution" (a non-continuable exception so
// answered is raised again by the dispatcher as
// STATUS_NONCONTINUABLE_EXCEPTION, and the loop ends in a kernel stack
// overflow). Instead it does what compiler-generated handlers do:
//   1. RtlUnwind(EstablisherFrame, ...) calls every handler registered above
//      the guard's record with the unwinding flag and takes those records
//      (the dispatcher's own among them) off the exception list;
//   2. the stack pointer is set back to the guard's record and execution
//      jumps to the guard's exit with the status in EAX. The frames of the
//      abandoned routine and of the dispatcher are simply left behind.
// The exit restores the exception list from the record's Next field, which
// is the value fs:[0] held on entry, so the list is left exactly as it was
// found on both the normal and the faulting path. Callee-saved registers
// are restored from the guard's stack (RtlUnwind keeps none of them).
//
// The status is the exception code; a code that reads as success (a
// raised status without the error bit) becomes STATUS_ACCESS_VIOLATION, so
// a caught fault can never come back as a successful call.
//
// The record lives on the kernel stack, 4-byte aligned and inside the stack
// limits, as the dispatcher requires; while an unwind passes through (the
// unwinding or exit-unwind flag set) the handler answers "continue search",
// so it never stops one.
#include "platform/ntkernel.h"

// NTSTATUS __cdecl PlatformGuardedCall(VOID (*Routine)(PVOID), PVOID Context)
//   Frame, from the stack pointer up while the routine runs:
//   [esp+0]  previous registration (Next)      <- the registration record
//   [esp+4]  handler                              and EstablisherFrame
//   [esp+8]  the guard's frame pointer
//   [esp+12] saved EDI, ESI, EBX, EBP, return address, Routine, Context
//
// int __cdecl PlatformGuardHandler(PEXCEPTION_RECORD Record,
//     PVOID EstablisherFrame, PCONTEXT Context, PVOID DispatcherContext)
//   Returns 1 (ExceptionContinueSearch) during an unwind; otherwise does
//   not return.
asm(".text\n"
    ".globl _PlatformGuardedCall\n"
    "_PlatformGuardedCall:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  pushl %ebp\n"
    "  pushl $_PlatformGuardHandler\n"
    "  pushl %fs:0\n"
    "  movl %esp, %fs:0\n"
    "  pushl 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  addl $4, %esp\n"
    "  xorl %eax, %eax\n"
    "PlatformGuardResume:\n"
    "  popl %fs:0\n"
    "  addl $8, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n"
    "\n"
    "  .p2align 2\n"
    "_PlatformGuardHandler:\n"
    "  movl 4(%esp), %eax\n"  // Record
    "  testl $6, 4(%eax)\n"   // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND
    "  jz 1f\n"
    "  movl $1, %eax\n"  // ExceptionContinueSearch
    "  ret\n"
    "1:\n"
    "  cld\n"
    "  movl 8(%esp), %ecx\n"  // EstablisherFrame: the guard's record
    "  movl (%eax), %edx\n"   // ExceptionCode
    "  testl %edx, %edx\n"
    "  js 2f\n"
    "  movl $0xC0000005, %edx\n"  // STATUS_ACCESS_VIOLATION
    "2:\n"
    "  pushl %edx\n"                  // kept across RtlUnwind: the status
    "  pushl %ecx\n"                  //   and the guard's record
    "  pushl $0\n"                    // ReturnValue
    "  pushl %eax\n"                  // ExceptionRecord
    "  pushl $PlatformGuardResume\n"  // TargetIp
    "  pushl %ecx\n"                  // TargetFrame
    "  call *__imp__RtlUnwind@16\n"
    "  popl %ecx\n"
    "  popl %eax\n"
    "  movl %ecx, %esp\n"  // back on the guard's own frame
    "  jmp PlatformGuardResume\n");
