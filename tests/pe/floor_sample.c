/* The processor-floor check's controls: built for the toolchain's default
   target with the assembler told the Pentium Pro, this object has cmov,
   the i486's xadd and long-NOP padding (nopl after pad3, nopw after pad7);
   built as the shipped i486 images are, it has only the xadd. */
int smallest(int a, int b) { return a < b ? a : b; }

int counter;
int next_ticket(void) { return __atomic_fetch_add(&counter, 1, __ATOMIC_SEQ_CST); }

__asm__(
    ".text\n"
    "pad3: ret\n"
    " .p2align 2\n"
    " .p2align 3\n"
    "pad7: movl %eax, %eax\n"
    " .p2align 3\n");
