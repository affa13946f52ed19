// The qemu guest's negative control of the exception guard: the guard as the
// driver first had it, whose handler points the faulting context at the
// guard's exit and answers "continue execution" to every exception. That
// resumes a page fault, but a raised status is non-continuable: the
// dispatcher answers it with STATUS_NONCONTINUABLE_EXCEPTION, the handler
// answers the same again, and on NT the loop ends in a kernel stack
// overflow. The guest's dispatcher bounds the nesting, so this guard fails
// its named checks (guard.raised-noncontinuable among them) and the guest
// goes on. Handlers above the guard are never unwound either.
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
