// Client buffer addresses carried inside requests (PCI configuration and
// platform-table codes) are used directly in the caller's address space.
// The driver takes no exception handler, so instead of touching a bad
// address it checks the whole range first: in user space, no wrap, and
// every page resident.
#include "driver/nicport.h"

BOOLEAN KdvrClientBufferValid(ULONG Address, ULONG Length, BOOLEAN ForWrite) {
  (void)ForWrite;  // residency is what can be checked without touching the page
  if (Length == 0) {
    return TRUE;
  }
  ULONG Last = Address + (Length - 1);
  if (Last < Address || (ULONG_PTR)Last >= (ULONG_PTR)MM_USER_PROBE_ADDRESS) {
    return FALSE;
  }
  const ULONG PageMask = ~(ULONG)(PAGE_SIZE - 1);
  for (ULONG Page = Address & PageMask;; Page += PAGE_SIZE) {
    if (!MmIsAddressValid((PVOID)(ULONG_PTR)Page)) {
      return FALSE;
    }
    if (Page == (Last & PageMask)) {
      return TRUE;
    }
  }
}
