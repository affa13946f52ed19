// PlatformGuardedCall for the kernel build (i386): structured exception
// handling without compiler support. An exception registration record is
// pushed on the thread's exception list (fs:[0], which in kernel mode is the
// processor control region's list and in a user-mode driver host the
// thread's own), the routine is called, and the record is popped again. When
// the routine faults, the system's dispatcher calls the handler below, which
// points the faulting context back at the guard's exit with the exception
// code in EAX and the guard's own stack and frame pointers, and asks for the
// context to be continued: the routine is abandoned and its caller gets the
// code as a status. Callee-saved registers are restored from the guard's
// stack, so nothing of the abandoned routine survives.
//
// The record lives on the kernel stack inside the stack limits, as the
// dispatcher requires; the handler returns ExceptionContinueSearch while an
// unwind passes through, so it never stops one.
#include "platform/ntkernel.h"

extern "C" {

// Address the handler resumes at (inside PlatformGuardedCall below).
extern char PlatformGuardResume[];

// Called by the exception dispatcher (cdecl: the dispatcher restores its
// own stack pointer after the call either way).
int __cdecl PlatformGuardHandler(PEXCEPTION_RECORD Record, PVOID EstablisherFrame, PCONTEXT Context,
                                 PVOID DispatcherContext) {
  (void)DispatcherContext;
  // EXCEPTION_UNWINDING (2) and EXCEPTION_EXIT_UNWIND (4).
  if ((Record->ExceptionFlags & 6) != 0) {
    return 1;  // ExceptionContinueSearch
  }
  ULONG *Frame = (ULONG *)EstablisherFrame;
  Context->Esp = (ULONG)(ULONG_PTR)Frame;
  Context->Ebp = Frame[2];
  Context->Eip = (ULONG)(ULONG_PTR)PlatformGuardResume;
  Context->Eax = (ULONG)Record->ExceptionCode;
  return 0;  // ExceptionContinueExecution
}

}  // extern "C"

// NTSTATUS __cdecl PlatformGuardedCall(VOID (*Routine)(PVOID), PVOID Context)
//   Frame, from the stack pointer up while the routine runs:
//   [esp+0]  previous registration (Next)
//   [esp+4]  handler
//   [esp+8]  the guard's frame pointer
asm(".text\n"
    ".globl _PlatformGuardedCall\n"
    ".globl _PlatformGuardResume\n"
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
    "_PlatformGuardResume:\n"
    "  popl %fs:0\n"
    "  addl $8, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");
