/* Links the guest's pe-i386 objects into the i386 ELF image that a
   multiboot loader places at 1 MiB. */
OUTPUT_FORMAT("elf32-i386")
OUTPUT_ARCH(i386)
ENTRY(_guest_start)
SECTIONS
{
  . = 0x100000;
  .text : {
    KEEP(*(.mboot))
    *(.text) *(.text$*) *(.text.*)
  }
  .rodata : { *(.rdata) *(.rdata$*) *(.rodata) *(.rodata.*) }
  .data : { *(.data) *(.data$*) *(.data.*) }
  .bss : { *(.bss) *(.bss$*) *(.bss.*) *(COMMON) }
  /DISCARD/ : { *(.drectve) *(.eh_frame) *(.debug*) *(.comment) }
}
