// Exceptions in the bare-metal guest, as NT's i386 kernel delivers them to a
// driver: segments with FS on a control region whose first words are the
// exception list and the stack limits, paging with one page left not present,
// an IDT whose page-fault and general-protection entries build an exception
// record and a context and dispatch them, and the kernel routines a guard
// and a probe use (ExRaiseStatus, RtlUnwind, ProbeForWrite, ProbeForRead,
// MmUserProbeAddress), each written from NT's documented rules:
//  - the dispatcher walks the registration records from fs:[0]; a record
//    outside the stack limits or not 4-byte aligned ends the search (the
//    exception is then unhandled);
//  - each handler is called with the exception record, its own record
//    (the establisher frame), the context and a dispatcher context, under
//    a record of the dispatcher's own, so that an exception raised inside a
//    handler is seen as nested: the dispatch of the nested exception skips
//    to the handler that was running, with EXCEPTION_NESTED_CALL set on the
//    records in between;
//  - "continue execution" resumes the context as the handler left it,
//    except for a non-continuable exception, for which the dispatcher raises
//    STATUS_NONCONTINUABLE_EXCEPTION instead; any other answer but "continue
//    search" and "nested" raises STATUS_INVALID_DISPOSITION;
//  - RtlUnwind calls each handler above the target frame with
//    EXCEPTION_UNWINDING (and EXCEPTION_EXIT_UNWIND when there is no
//    target), unlinks its record, and returns to its caller.
// What NT would end with a bugcheck (an exception nobody handles, a bad
// stack, dispatches nested deeper than any sane guard needs) prints a
// "fault:" line and abandons the case being run (GuestRunCase), so that a
// faulty guard fails its named check and the guest goes on. Collided
// unwinds are not supported: no code in the guest unwinds from inside an
// unwind.
#include "platform/ntkernel.h"
#include "tests/qemu/guest/guest.h"

extern "C" {
// The guest's stack (services.cpp): the limits the dispatcher checks.
extern char guest_stack_limit[];
extern char guest_stack_base[];
// The entries of exception vectors 0 to 31 (below).
extern uint32_t guest_trap_stubs[32];

// What GuestContinue loads: EDI ESI EBP (ignored) EBX EDX ECX EAX, then the
// interrupt return frame EIP CS EFLAGS, placed just below the new ESP.
uint32_t GuestResumeFrame[11];
uint32_t GuestResumeEsp;
// The stack pointer of the case being run (0: none).
uint32_t GuestCaseEsp;
// Dispatches in progress; each case starts with none, since a dispatch
// that a guard ended by unwinding never returns to say it is over.
int GuestDispatchDepth;

[[noreturn]] void GuestContinue();
[[noreturn]] void GuestAbandonCase(uint32_t code);
void __stdcall GuestRaiseException(EXCEPTION_RECORD *record);
void __stdcall GuestRaiseStatus(NTSTATUS status);
int __cdecl GuestExecuteHandler(EXCEPTION_RECORD *record, void *frame, CONTEXT *context, void *dispatcher,
                                void *handler);
}

namespace guest {
namespace {

constexpr uint32_t kChainEnd = 0xFFFFFFFFu;
constexpr int kContinueExecution = 0, kContinueSearch = 1, kNestedException = 2;
constexpr uint32_t kUnwindFlags = kExceptionUnwinding | kExceptionExitUnwind;
// Dispatches may nest this deep (a handler that faults, its nested
// dispatch, a non-continuable answer raised again): beyond it only a guard
// that answers in a loop goes on.
constexpr int kMaxNesting = 6;

struct Registration {
  Registration *Next;
  void *Handler;
};

// The control region FS points at: NT's thread information block layout.
struct ControlRegion {
  Registration *ExceptionList;
  uint32_t StackBase;
  uint32_t StackLimit;
  uint32_t Unused[13];
} region;

// The stack at a trap (and at a software raise, which builds the same
// frame): pushal's registers, then the vector, the error code and the
// processor's return frame.
struct TrapFrame {
  uint32_t Edi, Esi, Ebp, EspUnused, Ebx, Edx, Ecx, Eax;
  int32_t Vector;  // -1: RtlRaiseException, -2: ExRaiseStatus
  uint32_t Error, Eip, Cs, EFlags;
};

uint64_t gdt[4];
uint64_t idt[32];
uint32_t *page_directory = nullptr;
uint32_t hole = 0;
uint32_t dispatches = 0;
// Frame addresses of the dispatches in progress, outermost first.
uint32_t active[kMaxNesting + 1];
int &depth = GuestDispatchDepth;

uint64_t Descriptor(uint32_t base, uint32_t limit, uint32_t access, uint32_t flags) {
  return (limit & 0xFFFFull) | (static_cast<uint64_t>(base & 0xFFFFFF) << 16) | (static_cast<uint64_t>(access) << 40) |
         (static_cast<uint64_t>((limit >> 16) & 0xF) << 48) | (static_cast<uint64_t>(flags) << 52) |
         (static_cast<uint64_t>(base >> 24) << 56);
}

struct __attribute__((packed)) TableRegister {
  uint16_t limit;
  uint32_t base;
};

[[noreturn]] void Fatal(uint32_t code, const char *what, uint32_t address) {
  Print("fault: %s, code %08X at %08X\n", what, code, address);
  depth = 0;
  if (GuestCaseEsp != 0) GuestAbandonCase(code == 0 ? 1 : code);
  Exit(4);
}

void ContextFromFrame(const TrapFrame *f, uint32_t esp, CONTEXT *c) {
  for (uint32_t i = 0; i < sizeof *c; i++) reinterpret_cast<volatile char *>(c)[i] = 0;
  c->ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
  c->Edi = f->Edi;
  c->Esi = f->Esi;
  c->Ebx = f->Ebx;
  c->Edx = f->Edx;
  c->Ecx = f->Ecx;
  c->Eax = f->Eax;
  c->Ebp = f->Ebp;
  c->Eip = f->Eip;
  c->SegCs = f->Cs;
  c->EFlags = f->EFlags;
  c->Esp = esp;
  c->SegSs = c->SegDs = c->SegEs = c->SegGs = 0x10;
  c->SegFs = 0x18;
}

bool InStack(uint32_t at, uint32_t size) {
  return at >= region.StackLimit && at + size <= region.StackBase && (at & 3) == 0;
}

// NT's RtlDispatchException for the i386: true when a handler asked for the
// context to be continued.
bool Dispatch(EXCEPTION_RECORD *record, CONTEXT *context) {
  dispatches++;
  uint32_t nested = 0;  // the frame whose handler raised the exception
  for (Registration *r = region.ExceptionList; reinterpret_cast<uint32_t>(r) != kChainEnd; r = r->Next) {
    if (!InStack(reinterpret_cast<uint32_t>(r), sizeof *r)) {
      record->ExceptionFlags |= kExceptionStackInvalid;
      return false;
    }
    uint32_t dispatcher_context = 0;
    int disposition = GuestExecuteHandler(record, r, context, &dispatcher_context, r->Handler);
    if (reinterpret_cast<uint32_t>(r) == nested) {
      record->ExceptionFlags &= ~kExceptionNestedCall;
      nested = 0;
    }
    if (disposition == kContinueExecution) {
      if ((record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0) return true;
      EXCEPTION_RECORD again = {};
      again.ExceptionCode = STATUS_NONCONTINUABLE_EXCEPTION;
      again.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
      again.ExceptionRecord = record;
      GuestRaiseException(&again);
    } else if (disposition == kNestedException) {
      record->ExceptionFlags |= kExceptionNestedCall;
      if (dispatcher_context > nested) nested = dispatcher_context;
    } else if (disposition != kContinueSearch) {
      EXCEPTION_RECORD invalid = {};
      invalid.ExceptionCode = STATUS_INVALID_DISPOSITION;
      invalid.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
      invalid.ExceptionRecord = record;
      GuestRaiseException(&invalid);
    }
  }
  return false;
}

// Dispatches and resumes the context, or ends the case when nothing
// handles the exception or dispatches nest too deep.
[[noreturn]] void Deliver(EXCEPTION_RECORD *record, CONTEXT *context) {
  // A dispatch abandoned by an unwind left its entry behind: the live ones
  // are those whose frames lie above this one.
  uint32_t here = reinterpret_cast<uint32_t>(__builtin_frame_address(0));
  while (depth > 0 && active[depth - 1] <= here) depth--;
  if (depth >= kMaxNesting) {
    Fatal(record->ExceptionCode, "exception dispatch nested too deep (a handler answers in a loop)",
          reinterpret_cast<uint32_t>(record->ExceptionAddress));
  }
  active[depth++] = here;
  if (!Dispatch(record, context)) {
    Fatal(record->ExceptionCode,
          (record->ExceptionFlags & kExceptionStackInvalid) != 0 ? "bad exception registration" : "unhandled exception",
          reinterpret_cast<uint32_t>(record->ExceptionAddress));
  }
  depth--;
  const uint32_t values[11] = {context->Edi, context->Esi,   context->Ebp,   0,
                               context->Ebx, context->Edx,   context->Ecx,   context->Eax,
                               context->Eip, context->SegCs, context->EFlags};
  for (int i = 0; i < 11; i++) GuestResumeFrame[i] = values[i];
  GuestResumeEsp = context->Esp;
  GuestContinue();
}

}  // namespace

void MachineInit() {
  // Flat code and data, and FS on the control region.
  region.ExceptionList = reinterpret_cast<Registration *>(kChainEnd);
  region.StackBase = reinterpret_cast<uint32_t>(guest_stack_base);
  region.StackLimit = reinterpret_cast<uint32_t>(guest_stack_limit);
  gdt[1] = Descriptor(0, 0xFFFFF, 0x9A, 0xC);
  gdt[2] = Descriptor(0, 0xFFFFF, 0x92, 0xC);
  gdt[3] = Descriptor(reinterpret_cast<uint32_t>(&region), sizeof region - 1, 0x92, 0x4);
  TableRegister g = {sizeof gdt - 1, reinterpret_cast<uint32_t>(gdt)};
  asm volatile(
      "lgdt %0\n"
      "ljmp $0x08, $1f\n"
      "1: movw $0x10, %%ax\n"
      "movw %%ax, %%ds\n"
      "movw %%ax, %%es\n"
      "movw %%ax, %%ss\n"
      "movw %%ax, %%gs\n"
      "movw $0x18, %%ax\n"
      "movw %%ax, %%fs\n"
      :
      : "m"(g)
      : "eax", "memory");

  // Every exception vector: 13 and 14 dispatch, the others stop the guest.
  for (int v = 0; v < 32; v++) {
    uint32_t at = guest_trap_stubs[v];
    idt[v] = (at & 0xFFFF) | (0x08ull << 16) | (0x8E00ull << 32) | (static_cast<uint64_t>(at >> 16) << 48);
  }
  TableRegister i = {sizeof idt - 1, reinterpret_cast<uint32_t>(idt)};
  asm volatile("lidt %0" : : "m"(i) : "memory");

  // Paging: all 4 GiB mapped onto themselves (the adapter's registers too)
  // in 4 KiB pages, which every i386 has, except one page, left not present.
  static uint8_t tables[1026 * 4096];
  static uint8_t hole_area[2 * 4096];
  uint32_t base = (reinterpret_cast<uint32_t>(tables) + 4095) & ~4095u;
  page_directory = reinterpret_cast<uint32_t *>(base);
  uint32_t *entries = page_directory + 1024;
  for (uint32_t n = 0; n < 1024 * 1024; n++) entries[n] = n << 12 | 3;
  for (uint32_t n = 0; n < 1024; n++) page_directory[n] = reinterpret_cast<uint32_t>(entries + n * 1024) | 3;
  hole = (reinterpret_cast<uint32_t>(hole_area) + 4095) & ~4095u;
  entries[hole >> 12] = hole | 2;  // writable, not present
  asm volatile(
      "movl %0, %%cr3\n"
      "movl %%cr0, %%eax\n"
      "orl $0x80000000, %%eax\n"
      "movl %%eax, %%cr0\n"
      "jmp 1f\n"
      "1:\n"
      :
      : "r"(base)
      : "eax", "memory");
}

uint32_t NotPresentPage() { return hole; }
uint32_t ExceptionListHead() {
  uint32_t head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}
void SetExceptionListHead(uint32_t head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }
uint32_t Dispatches() { return dispatches; }

}  // namespace guest

using namespace guest;

extern "C" {

// A trap: the page fault and the general-protection fault become an access
// violation (NT's parameters: read 0 or write 1 and the address; 0 and
// 0xFFFFFFFF for a protection fault); any other vector stops the guest.
void __cdecl GuestTrap(TrapFrame *f) {
  uint32_t fault_esp = reinterpret_cast<uint32_t>(f + 1);
  if (f->Vector != 13 && f->Vector != 14) {
    Print("fault: processor exception %d (error %X) at %08X\n", f->Vector, f->Error, f->Eip);
    Exit(3);
  }
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = STATUS_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<PVOID>(f->Eip);
  record.NumberParameters = 2;
  if (f->Vector == 14) {
    uint32_t address;
    asm volatile("movl %%cr2, %0" : "=r"(address));
    record.ExceptionInformation[0] = (f->Error & 2) != 0 ? 1 : 0;
    record.ExceptionInformation[1] = address;
  } else {
    record.ExceptionInformation[0] = 0;
    record.ExceptionInformation[1] = 0xFFFFFFFFu;
  }
  CONTEXT context;
  ContextFromFrame(f, fault_esp, &context);
  Deliver(&record, &context);
}

// RtlRaiseException and ExRaiseStatus: the context is the caller's after
// the call returns (its one argument popped, as stdcall does).
void __cdecl GuestRaise(TrapFrame *f) {
  uint32_t *after = reinterpret_cast<uint32_t *>(f + 1);  // return address, argument
  CONTEXT context;
  ContextFromFrame(f, reinterpret_cast<uint32_t>(after + 2), &context);
  EXCEPTION_RECORD record = {};
  if (f->Vector == -1) {
    record = *reinterpret_cast<EXCEPTION_RECORD *>(after[1]);
  } else {
    record.ExceptionCode = static_cast<NTSTATUS>(after[1]);
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  }
  record.ExceptionAddress = reinterpret_cast<PVOID>(after[0]);
  Deliver(&record, &context);
}

// The dispatcher's own record around a handler call (frame[2] holds the
// establisher frame of that handler): an exception raised in the handler
// is nested in the one being dispatched.
int __cdecl GuestNestedHandler(EXCEPTION_RECORD *record, void *frame, CONTEXT *, void *dispatcher) {
  if ((record->ExceptionFlags & kUnwindFlags) != 0) return kContinueSearch;
  *static_cast<uint32_t *>(dispatcher) = static_cast<uint32_t *>(frame)[2];
  return kNestedException;
}

// RtlUnwind(TargetFrame, TargetIp, ExceptionRecord, ReturnValue)
ULONG_PTR __stdcall GuestRtlUnwind(void *target, void *target_ip, EXCEPTION_RECORD *record, ULONG_PTR value) {
  EXCEPTION_RECORD own = {};
  if (record == nullptr) {
    own.ExceptionCode = STATUS_UNWIND;
    own.ExceptionAddress = target_ip;
    record = &own;
  }
  record->ExceptionFlags |= target == nullptr ? kUnwindFlags : kExceptionUnwinding;
  CONTEXT context;
  for (uint32_t i = 0; i < sizeof context; i++) reinterpret_cast<volatile char *>(&context)[i] = 0;
  context.Esp = reinterpret_cast<uint32_t>(__builtin_frame_address(0)) + 8 + 16;
  context.Eip = reinterpret_cast<uint32_t>(__builtin_return_address(0));
  context.Eax = value;
  for (Registration *r = region.ExceptionList; r != target; r = region.ExceptionList) {
    if (reinterpret_cast<uint32_t>(r) == kChainEnd) {
      if (target == nullptr) break;
      Fatal(STATUS_INVALID_UNWIND_TARGET, "unwind target not on the exception list",
            reinterpret_cast<uint32_t>(target));
    }
    if (target != nullptr && reinterpret_cast<uint32_t>(target) < reinterpret_cast<uint32_t>(r)) {
      Fatal(STATUS_INVALID_UNWIND_TARGET, "unwind target below the list's head", reinterpret_cast<uint32_t>(target));
    }
    if (!InStack(reinterpret_cast<uint32_t>(r), sizeof *r)) {
      Fatal(STATUS_BAD_STACK, "bad exception registration during an unwind", reinterpret_cast<uint32_t>(r));
    }
    uint32_t dispatcher_context = 0;
    int disposition = GuestExecuteHandler(record, r, &context, &dispatcher_context, r->Handler);
    if (disposition != kContinueSearch) {
      Fatal(STATUS_INVALID_DISPOSITION, "a handler stopped an unwind", reinterpret_cast<uint32_t>(r->Handler));
    }
    region.ExceptionList = r->Next;
  }
  return value;
}

// NT 4's probes: the range must end at or below MmUserProbeAddress (else the
// access violation is raised) and start aligned (else the misalignment is);
// ProbeForWrite then writes every page of the range with what it holds.
ULONG GuestUserProbeAddress = 0x7FFF0000u;

static void GuestProbeRange(uint32_t start, uint32_t length, uint32_t alignment) {
  if ((start & (alignment - 1)) != 0) GuestRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
  uint32_t end = start + length;
  if (end < start || end > GuestUserProbeAddress) GuestRaiseStatus(STATUS_ACCESS_VIOLATION);
}

void __stdcall GuestProbeForRead(void *address, uint32_t length, uint32_t alignment) {
  if (length != 0) GuestProbeRange(reinterpret_cast<uint32_t>(address), length, alignment);
}

void __stdcall GuestProbeForWrite(void *address, uint32_t length, uint32_t alignment) {
  if (length == 0) return;
  uint32_t start = reinterpret_cast<uint32_t>(address);
  GuestProbeRange(start, length, alignment);
  uint32_t last = start + length - 1;
  for (uint32_t page = start;; page = (page & ~4095u) + 4096) {
    volatile uint8_t *p = reinterpret_cast<volatile uint8_t *>(page);
    *p = *p;
    if ((page & ~4095u) == (last & ~4095u)) break;
  }
}

// The kernel's block routines the driver's objects call directly.
void *memcpy(void *to, const void *from, size_t count) {
  void *d = to;
  asm volatile("cld; rep movsb" : "+D"(d), "+S"(from), "+c"(count) : : "memory");
  return to;
}
void *memset(void *to, int value, size_t count) {
  void *d = to;
  asm volatile("cld; rep stosb" : "+D"(d), "+c"(count) : "a"(value) : "memory");
  return to;
}

void *ImpExRaiseStatus __asm__("__imp__ExRaiseStatus@4") = reinterpret_cast<void *>(&GuestRaiseStatus);
void *ImpRtlRaiseException __asm__("__imp__RtlRaiseException@4") = reinterpret_cast<void *>(&GuestRaiseException);
void *ImpRtlUnwind __asm__("__imp__RtlUnwind@16") = reinterpret_cast<void *>(&GuestRtlUnwind);
void *ImpProbeForRead __asm__("__imp__ProbeForRead@12") = reinterpret_cast<void *>(&GuestProbeForRead);
void *ImpProbeForWrite __asm__("__imp__ProbeForWrite@12") = reinterpret_cast<void *>(&GuestProbeForWrite);
void *ImpMmUserProbeAddress __asm__("__imp__MmUserProbeAddress") = &GuestUserProbeAddress;

}  // extern "C"

// The trap entries, the software raises, the handler call and the resume.
asm(R"(
        .text
        .irp v, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
guest_trap_\v:
        .if (\v <> 8) && ((\v < 10) || (\v > 14)) && (\v <> 17)
        pushl $0
        .endif
        pushl $\v
        jmp guest_trap_common
        .endr

guest_trap_common:
        pushal
        pushl %esp
        call _GuestTrap
1:      cli
        hlt
        jmp 1b

        .data
        .p2align 2
        .globl _guest_trap_stubs
_guest_trap_stubs:
        .irp v, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
        .long guest_trap_\v
        .endr

        .text
        .globl _GuestRaiseException@4
_GuestRaiseException@4:
        pushfl
        pushl %cs
        pushl 8(%esp)
        pushl $0
        pushl $-1
        jmp guest_raise_common
        .globl _GuestRaiseStatus@4
_GuestRaiseStatus@4:
        pushfl
        pushl %cs
        pushl 8(%esp)
        pushl $0
        pushl $-2
guest_raise_common:
        pushal
        pushl %esp
        call _GuestRaise
1:      cli
        hlt
        jmp 1b

        .globl _GuestExecuteHandler
_GuestExecuteHandler:
        pushl %ebp
        movl %esp, %ebp
        pushl 12(%ebp)
        pushl $_GuestNestedHandler
        pushl %fs:0
        movl %esp, %fs:0
        pushl 20(%ebp)
        pushl 16(%ebp)
        pushl 12(%ebp)
        pushl 8(%ebp)
        call *24(%ebp)
        movl -12(%ebp), %ecx
        movl %ecx, %fs:0
        movl %ebp, %esp
        popl %ebp
        ret

        .globl _GuestContinue
_GuestContinue:
        movl _GuestResumeEsp, %eax
        subl $44, %eax
        movl %eax, %edi
        movl $_GuestResumeFrame, %esi
        movl $11, %ecx
        cld
        rep movsl
        movl %eax, %esp
        popal
        iret

        .globl _GuestRunCase
_GuestRunCase:
        pushl %ebp
        movl %esp, %ebp
        pushl %ebx
        pushl %esi
        pushl %edi
        movl %esp, _GuestCaseEsp
        movl $0, _GuestDispatchDepth
        pushl 12(%ebp)
        call *8(%ebp)
        addl $4, %esp
        xorl %eax, %eax
guest_case_return:
        movl $0, _GuestCaseEsp
        popl %edi
        popl %esi
        popl %ebx
        popl %ebp
        ret

        .globl _GuestAbandonCase
_GuestAbandonCase:
        movl 4(%esp), %eax
        movl _GuestCaseEsp, %esp
        jmp guest_case_return
)");
