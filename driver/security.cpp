// Who may open the driver: SYSTEM and the Administrators group, with the
// access they ask for; nobody else.
//
// NT's I/O manager checks a direct open against the device object's own
// descriptor, and IoCreateDevice gives a named device one that lets every
// user open it for reading and writing. What the I/O manager granted is
// moved to the access state's PreviouslyGrantedAccess and the create routine
// is handed the remainder, normally nothing. So the driver checks the access
// the caller originally asked for (the access state's
// OriginalDesiredAccess, generic rights already mapped) against a
// descriptor of its own, with nothing granted before: administrators and
// SYSTEM get what they asked, everyone else is refused before the open
// exists. The descriptor is built once at load from fixed SIDs and an
// access list laid out by hand (the layouts are the platform's documented
// binary forms), with RtlCreateSecurityDescriptor,
// RtlSetDaclSecurityDescriptor, RtlSetOwnerSecurityDescriptor
// (Administrators) and RtlSetGroupSecurityDescriptor (SYSTEM). The owner is
// not optional: SeAccessCheck reads it whenever READ_CONTROL or WRITE_DAC
// is wanted, and every generic read or write open maps to READ_CONTROL, so
// a descriptor without one would stop the machine on the first open. An
// open made from kernel mode is checked as a user-mode one when the I/O
// manager says so (SL_FORCE_ACCESS_CHECK). These routines, and
// IoGetFileObjectGenericMapping and the subject-context locks, are exported
// by the kernel of Windows NT 4 and of Windows 2000 alike, so the same image
// enforces the same rule on both. The devices are made with
// FILE_DEVICE_SECURE_OPEN as well, and an open that names anything below a
// device is refused outright.
#include "driver/nicport.h"

// S-1-5-18 (LocalSystem) and S-1-5-32-544 (BUILTIN\Administrators): revision
// 1, sub-authority count, the NT authority (5) big-endian in six bytes, then
// the 32-bit sub-authorities.
static const UCHAR KdvrSystemSid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
static const UCHAR KdvrAdminsSid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};

// ACL header (8 bytes), then two access-allowed entries: type, flags,
// 16-bit size, 32-bit mask, SID.
#define KDVR_ACL_BYTES (8 + (8 + sizeof(KdvrSystemSid)) + (8 + sizeof(KdvrAdminsSid)))
static ULONG KdvrAcl[(KDVR_ACL_BYTES + 3) / 4];
// An absolute descriptor: 20 bytes on the target; room for the host's.
static ULONG_PTR KdvrDescriptor[8];

static ULONG KdvrPutAce(PUCHAR At, const UCHAR *Sid, ULONG SidBytes) {
  ULONG Size = 8 + SidBytes;
  ULONG Mask = FILE_ALL_ACCESS;
  At[0] = 0;  // access allowed
  At[1] = 0;  // no inheritance flags
  At[2] = (UCHAR)Size;
  At[3] = (UCHAR)(Size >> 8);
  for (int i = 0; i < 4; i++) {
    At[4 + i] = (UCHAR)(Mask >> (8 * i));
  }
  for (ULONG i = 0; i < SidBytes; i++) {
    At[8 + i] = Sid[i];
  }
  return Size;
}

VOID KdvrInitializeSecurity(VOID) {
  PUCHAR Acl = (PUCHAR)KdvrAcl;
  for (ULONG i = 0; i < sizeof(KdvrAcl); i++) {
    Acl[i] = 0;
  }
  Acl[0] = 2;  // ACL_REVISION
  Acl[2] = (UCHAR)KDVR_ACL_BYTES;
  Acl[3] = (UCHAR)(KDVR_ACL_BYTES >> 8);
  Acl[4] = 2;  // entries
  ULONG At = 8;
  At += KdvrPutAce(Acl + At, KdvrSystemSid, sizeof(KdvrSystemSid));
  KdvrPutAce(Acl + At, KdvrAdminsSid, sizeof(KdvrAdminsSid));
  RtlCreateSecurityDescriptor((PSECURITY_DESCRIPTOR)KdvrDescriptor, SECURITY_DESCRIPTOR_REVISION);
  RtlSetDaclSecurityDescriptor((PSECURITY_DESCRIPTOR)KdvrDescriptor, TRUE, (PACL)KdvrAcl, FALSE);
  RtlSetOwnerSecurityDescriptor((PSECURITY_DESCRIPTOR)KdvrDescriptor, (PSID)KdvrAdminsSid, FALSE);
  RtlSetGroupSecurityDescriptor((PSECURITY_DESCRIPTOR)KdvrDescriptor, (PSID)KdvrSystemSid, FALSE);
}

NTSTATUS KdvrCreateSecuredDevice(PDRIVER_OBJECT DriverObject, PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                 PDEVICE_OBJECT *DeviceObject) {
  return IoCreateDevice(DriverObject, sizeof(KDVR_DEVICE_EXTENSION), DeviceName, DeviceType, FILE_DEVICE_SECURE_OPEN,
                        TRUE, DeviceObject);
}

NTSTATUS KdvrAdmitOpen(PIRP Irp, ACCESS_MASK *Granted) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  *Granted = 0;
  PFILE_OBJECT File = Stack->FileObject;
  // "\\.\NICPORT\anything" is no object of this driver.
  if (File != NULL && File->FileName.Length != 0) {
    return STATUS_ACCESS_DENIED;
  }
  PIO_SECURITY_CONTEXT Security = Stack->Parameters.Create.SecurityContext;
  if (Security == NULL || Security->AccessState == NULL) {
    // The NT I/O manager always hands an open its access state. A host
    // that runs drivers in a user-mode process passes none; there the
    // caller has no more rights through the driver than its own.
    *Granted = FILE_ALL_ACCESS;
    return STATUS_SUCCESS;
  }
  PACCESS_STATE AccessState = Security->AccessState;
  PSECURITY_SUBJECT_CONTEXT Subject = &AccessState->SubjectSecurityContext;
  // A kernel-mode open on behalf of a user (SL_FORCE_ACCESS_CHECK) gets no
  // more than the user would.
  KPROCESSOR_MODE Mode = (Stack->Flags & SL_FORCE_ACCESS_CHECK) != 0 ? (KPROCESSOR_MODE)UserMode : Irp->RequestorMode;
  ACCESS_MASK Access = 0;
  NTSTATUS Status = STATUS_ACCESS_DENIED;
  SeLockSubjectContext(Subject);
  // Not Security->DesiredAccess: that is what the I/O manager left
  // unchecked, usually nothing, since it has already granted the rest from
  // the device object's default descriptor. Nothing counts as granted before.
  BOOLEAN Admitted =
      SeAccessCheck((PSECURITY_DESCRIPTOR)KdvrDescriptor, Subject, TRUE, AccessState->OriginalDesiredAccess, 0, NULL,
                    IoGetFileObjectGenericMapping(), Mode, &Access, &Status);
  SeUnlockSubjectContext(Subject);
  if (!Admitted) {
    return NT_SUCCESS(Status) ? STATUS_ACCESS_DENIED : Status;
  }
  *Granted = Access;
  return STATUS_SUCCESS;
}

ACCESS_MASK KdvrOpenAccess(PIO_STACK_LOCATION Stack) {
  if (Stack->FileObject == NULL) {
    return 0;
  }
  return (ACCESS_MASK)(ULONG_PTR)Stack->FileObject->FsContext2;
}
