// Rules of NT that a driver relies on or can crash the machine by breaking,
// as the simulated kernel enforces them: SeAccessCheck, the I/O manager's
// open path (the device's own security check and the access state it hands
// the create routine) and the IRQL each routine needs.
#include <cstring>
#include <initializer_list>
#include <vector>

#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;

// S-1-5-32-544 (Administrators), S-1-5-32-545 (Users) and S-1-5-18 (SYSTEM,
// which no client token holds) in binary form.
const UCHAR kAdmins[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
const UCHAR kUsers[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 0x02, 0, 0};
const UCHAR kSystem[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

// An access list of allow (type 0) and deny (type 1) entries for
// 16-byte SIDs (Administrators, Users).
struct Acl {
  std::vector<UCHAR> bytes;
  struct Entry {
    UCHAR type;
    ACCESS_MASK mask;
    const UCHAR* sid;
  };
  Acl(std::initializer_list<Entry> entries) : bytes(sizeof(ACL)) {
    for (const Entry& e : entries) {
      UCHAR head[8] = {e.type, 0, 8 + sizeof kUsers, 0};
      std::memcpy(head + 4, &e.mask, 4);
      bytes.insert(bytes.end(), head, head + 8);
      bytes.insert(bytes.end(), e.sid, e.sid + sizeof kUsers);
    }
    ACL header{};
    header.AclRevision = ACL_REVISION;
    header.AclSize = static_cast<USHORT>(bytes.size());
    header.AceCount = static_cast<USHORT>(entries.size());
    std::memcpy(bytes.data(), &header, sizeof header);
  }
  PACL get() { return reinterpret_cast<PACL>(bytes.data()); }
};

// An absolute descriptor over `acl` (nullptr: a NULL DACL) and `owner`.
SECURITY_DESCRIPTOR MakeDescriptor(Acl* acl, const UCHAR* owner) {
  SECURITY_DESCRIPTOR sd;
  RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  RtlSetDaclSecurityDescriptor(&sd, TRUE, acl != nullptr ? acl->get() : nullptr, FALSE);
  if (owner != nullptr) RtlSetOwnerSecurityDescriptor(&sd, const_cast<UCHAR*>(owner), FALSE);
  return sd;
}

class NtRulesTest : public Fixture {};

TEST_F(NtRulesTest, SeAccessCheckRules) {
  // Users may read data; Administrators are denied READ_CONTROL by entry.
  Acl allow_users{{ACCESS_ALLOWED_ACE_TYPE, FILE_READ_DATA, kUsers}};
  Acl deny_admins{{ACCESS_DENIED_ACE_TYPE, READ_CONTROL, kAdmins}};
  Acl empty{};
  struct Row {
    const char* what;
    const UCHAR* owner;
    Acl* acl;  // nullptr: a NULL DACL
    bool admin;
    ACCESS_MASK desired;
    bool faults;
    ACCESS_MASK granted;  // 0: refused
    ACCESS_MASK previous = 0;
    KPROCESSOR_MODE mode = UserMode;
  } rows[] = {
      {"no owner, owner rights not asked", nullptr, &allow_users, false, FILE_READ_DATA, false, FILE_READ_DATA},
      {"no owner, READ_CONTROL", nullptr, &allow_users, true, READ_CONTROL, true, 0},
      {"no owner, WRITE_DAC", nullptr, &allow_users, true, WRITE_DAC, true, 0},
      {"no owner, MAXIMUM_ALLOWED", nullptr, &allow_users, true, MAXIMUM_ALLOWED, true, 0},
      {"no owner, generic read", nullptr, &allow_users, false, GENERIC_READ, true, 0},
      {"owner in the token", kAdmins, &allow_users, true, READ_CONTROL | WRITE_DAC | FILE_READ_DATA, false,
       READ_CONTROL | WRITE_DAC | FILE_READ_DATA},
      {"owner not in the token", kAdmins, &allow_users, false, READ_CONTROL, false, 0},
      {"owner, maximum allowed", kAdmins, &allow_users, true, MAXIMUM_ALLOWED, false,
       READ_CONTROL | WRITE_DAC | FILE_READ_DATA},
      {"owner rights precede a deny entry", kAdmins, &deny_admins, true, READ_CONTROL, false, READ_CONTROL},
      {"a deny entry refuses a non-owner", kSystem, &deny_admins, true, READ_CONTROL, false, 0},
      {"nothing asked, nothing granted before", kAdmins, &allow_users, true, 0, false, 0},
      {"nothing asked, granted before", kSystem, &empty, false, 0, false, FILE_READ_DATA, FILE_READ_DATA},
      {"granted before is added", kSystem, &allow_users, false, FILE_READ_DATA, false, FILE_READ_DATA | SYNCHRONIZE,
       SYNCHRONIZE},
      {"granted before is not checked again", kSystem, &deny_admins, true, READ_CONTROL, false, READ_CONTROL,
       READ_CONTROL},
      {"maximum allowed: what the list gives", kSystem, &allow_users, false, MAXIMUM_ALLOWED, false, FILE_READ_DATA},
      {"maximum allowed with a right the list lacks", kSystem, &allow_users, false, MAXIMUM_ALLOWED | FILE_WRITE_DATA,
       false, 0},
      {"maximum allowed of an empty list", kSystem, &empty, true, MAXIMUM_ALLOWED, false, 0},
      {"maximum allowed of an empty list, granted before", kSystem, &empty, true, MAXIMUM_ALLOWED, false, SYNCHRONIZE,
       SYNCHRONIZE},
      {"a NULL DACL grants what is asked", kSystem, nullptr, false, FILE_WRITE_DATA | DELETE, false,
       FILE_WRITE_DATA | DELETE},
      {"a NULL DACL, maximum allowed", kSystem, nullptr, false, MAXIMUM_ALLOWED, false, FILE_ALL_ACCESS},
      {"an empty DACL grants nothing", kSystem, &empty, true, FILE_READ_DATA, false, 0},
      {"an empty DACL leaves the owner its rights", kAdmins, &empty, true, READ_CONTROL | WRITE_DAC, false,
       READ_CONTROL | WRITE_DAC},
      {"kernel mode is granted what it asks", kSystem, &empty, false, FILE_WRITE_DATA, false, FILE_WRITE_DATA, 0,
       KernelMode},
      {"kernel mode, maximum allowed", kSystem, &empty, false, MAXIMUM_ALLOWED, false, FILE_ALL_ACCESS, 0, KernelMode},
  };
  ASSERT_EQ(kernel.load_driver(DriverEntry, kRegistryPath), STATUS_SUCCESS);
  for (const Row& row : rows) {
    SECURITY_DESCRIPTOR sd = MakeDescriptor(row.acl, row.owner);
    ACCESS_MASK granted = 0xDEAD;
    NTSTATUS status = STATUS_PENDING;
    BOOLEAN admitted = FALSE;
    g_create_hook = [&](PIRP irp) {
      PSECURITY_SUBJECT_CONTEXT subject =
          &IoGetCurrentIrpStackLocation(irp)->Parameters.Create.SecurityContext->AccessState->SubjectSecurityContext;
      admitted = SeAccessCheck(&sd, subject, FALSE, row.desired, row.previous, nullptr, IoGetFileObjectGenericMapping(),
                               row.mode, &granted, &status);
    };
    kernel.set_client_admin(row.admin);
    kernel.clear_driver_faults();
    auto opened = kernel.open("\\\\.\\TESTDEV", FILE_READ_DATA);
    EXPECT_EQ(opened.faulted, row.faults) << row.what;
    EXPECT_EQ(kernel.driver_faults().size(), row.faults ? 1u : 0u) << row.what;
    if (!row.faults) {
      EXPECT_EQ(admitted != FALSE, row.granted != 0) << row.what;
      EXPECT_EQ(granted, row.granted) << row.what;
      EXPECT_EQ(status, row.granted != 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED) << row.what;
    }
    if (opened.handle != -1) kernel.close(opened.handle);
  }
  kernel.set_client_admin(true);
  g_create_hook = nullptr;
  EXPECT_TRUE(kernel.unload_driver().empty());
}

// The I/O manager's open: each row loads the test driver, gives its device a
// descriptor, opens it one way and records what the create routine saw.
TEST_F(NtRulesTest, TheIoManagerChecksTheDeviceAndHandsOnTheRemainder) {
  enum class How { CreateFile, NtCreateFile, Kernel, KernelForced };
  constexpr ACCESS_MASK kCreateFile = SYNCHRONIZE | FILE_READ_ATTRIBUTES;  // what CreateFile adds
  constexpr ACCESS_MASK kRead = FILE_GENERIC_READ;
  constexpr ACCESS_MASK kReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
  constexpr ACCESS_MASK kEveryone = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE;
  struct Row {
    const char* what;
    bool admins_only;  // the device's descriptor: Administrators only, or IoCreateDevice's default
    bool secure_open;  // FILE_DEVICE_SECURE_OPEN
    bool below;        // "\Device\TESTDEV\x" rather than the device
    bool admin;
    How how;
    ACCESS_MASK desired;
    NTSTATUS status;
    ACCESS_MASK original = 0, previously = 0, remaining = 0;  // as the create routine sees them
    bool traverse = true;                                     // SeChangeNotifyPrivilege
  } rows[] = {
      {"default: a user opens for reading and writing", false, false, false, false, How::CreateFile,
       GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS, kReadWrite | kCreateFile, kReadWrite | kCreateFile, 0},
      {"default: generic all is mapped first", false, false, false, true, How::CreateFile, GENERIC_ALL, STATUS_SUCCESS,
       FILE_ALL_ACCESS, FILE_ALL_ACCESS, 0},
      {"default: a user may not change the descriptor", false, false, false, false, How::CreateFile, WRITE_DAC,
       STATUS_ACCESS_DENIED},
      {"default: an administrator may", false, false, false, true, How::CreateFile, WRITE_DAC, STATUS_SUCCESS,
       WRITE_DAC | kCreateFile, WRITE_DAC | kCreateFile, 0},
      {"default: maximum allowed for a user", false, false, false, false, How::CreateFile, MAXIMUM_ALLOWED,
       STATUS_SUCCESS, MAXIMUM_ALLOWED | kCreateFile, kEveryone, 0},
      {"default: maximum allowed for an administrator", false, false, false, true, How::CreateFile, MAXIMUM_ALLOWED,
       STATUS_SUCCESS, MAXIMUM_ALLOWED | kCreateFile, FILE_ALL_ACCESS, 0},
      {"default: CreateFile asking nothing", false, false, false, false, How::CreateFile, 0, STATUS_SUCCESS,
       kCreateFile, kCreateFile, 0},
      {"NtCreateFile asking nothing is refused", false, false, false, true, How::NtCreateFile, 0, STATUS_ACCESS_DENIED},
      {"restricted: a user's direct open is refused", true, false, false, false, How::CreateFile, GENERIC_READ,
       STATUS_ACCESS_DENIED},
      {"restricted: an administrator's is not", true, false, false, true, How::CreateFile, GENERIC_READ, STATUS_SUCCESS,
       kRead | kCreateFile, kRead | kCreateFile, 0},
      {"restricted: a name below the device is not checked", true, false, true, false, How::CreateFile, GENERIC_READ,
       STATUS_SUCCESS, kRead | kCreateFile, 0, kRead | kCreateFile},
      {"restricted, secure open: a name below is checked", true, true, true, false, How::CreateFile, GENERIC_READ,
       STATUS_ACCESS_DENIED},
      {"restricted, secure open: an administrator's name below", true, true, true, true, How::CreateFile, GENERIC_READ,
       STATUS_SUCCESS, kRead | kCreateFile, kRead | kCreateFile, 0},
      {"restricted, no traverse privilege: a name below needs FILE_TRAVERSE", true, false, true, false, How::CreateFile,
       GENERIC_READ, STATUS_ACCESS_DENIED, 0, 0, 0, false},
      {"default, no traverse privilege: Everyone may traverse", false, false, true, false, How::CreateFile,
       GENERIC_READ, STATUS_SUCCESS, kRead | kCreateFile, 0, kRead | kCreateFile, false},
      {"kernel mode: not checked", true, false, false, false, How::Kernel, GENERIC_WRITE, STATUS_SUCCESS,
       FILE_GENERIC_WRITE, 0, FILE_GENERIC_WRITE},
      {"kernel mode, forced: checked as user mode", true, false, false, false, How::KernelForced, GENERIC_WRITE,
       STATUS_ACCESS_DENIED},
      {"kernel mode, forced: an administrator", true, false, false, true, How::KernelForced, GENERIC_WRITE,
       STATUS_SUCCESS, FILE_GENERIC_WRITE, FILE_GENERIC_WRITE, 0},
  };
  Acl admins_only{{ACCESS_ALLOWED_ACE_TYPE, GENERIC_ALL, kAdmins}};
  SECURITY_DESCRIPTOR restricted = MakeDescriptor(&admins_only, kAdmins);
  for (const Row& row : rows) {
    g_config.characteristics = row.secure_open ? FILE_DEVICE_SECURE_OPEN : 0;
    ASSERT_EQ(kernel.load_driver(DriverEntry, kRegistryPath), STATUS_SUCCESS) << row.what;
    if (row.admins_only) {
      ASSERT_EQ(kernel.set_device_security("\\Device\\TESTDEV", &restricted), STATUS_SUCCESS);
    }
    kernel.set_client_admin(row.admin);
    kernel.set_client_traverse_privilege(row.traverse);
    bool reached = false;
    ACCESS_MASK original = 0, previously = 0, remaining = 0, desired = 0;
    UCHAR flags = 0xFF;
    KPROCESSOR_MODE mode = 0x7F;
    g_create_hook = [&](PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
      reached = true;
      original = security->AccessState->OriginalDesiredAccess;
      previously = security->AccessState->PreviouslyGrantedAccess;
      remaining = security->AccessState->RemainingDesiredAccess;
      desired = security->DesiredAccess;
      flags = stack->Flags;
      mode = irp->RequestorMode;
    };
    const char* name = row.below ? "\\Device\\TESTDEV\\x" : "\\Device\\TESTDEV";
    sim::kernel::OpenResult opened;
    switch (row.how) {
      case How::CreateFile: opened = kernel.open(name, row.desired); break;
      case How::NtCreateFile: opened = kernel.open_native(name, row.desired); break;
      case How::Kernel: opened = kernel.open_from_kernel(name, row.desired, false); break;
      case How::KernelForced: opened = kernel.open_from_kernel(name, row.desired, true); break;
    }
    EXPECT_EQ(opened.status, row.status) << row.what;
    // A refused open never reaches the driver.
    EXPECT_EQ(reached, row.status == STATUS_SUCCESS) << row.what;
    if (reached) {
      EXPECT_EQ(original, row.original) << row.what;
      EXPECT_EQ(previously, row.previously) << row.what;
      EXPECT_EQ(remaining, row.remaining) << row.what;
      EXPECT_EQ(desired, remaining) << row.what;
      const bool from_kernel = row.how == How::Kernel || row.how == How::KernelForced;
      EXPECT_EQ(mode, from_kernel ? KernelMode : UserMode) << row.what;
      EXPECT_EQ(flags, row.how == How::KernelForced ? SL_FORCE_ACCESS_CHECK : 0) << row.what;
      // The handle holds what was granted, and what was left unchecked.
      EXPECT_EQ(kernel.handle_access(opened.handle), row.previously | row.remaining) << row.what;
      kernel.close(opened.handle);
    }
    g_create_hook = nullptr;
    EXPECT_TRUE(kernel.unload_driver().empty()) << row.what;
    EXPECT_TRUE(kernel.driver_faults().empty()) << row.what;
  }
  kernel.set_client_admin(true);
  kernel.set_client_traverse_privilege(true);
}

TEST_F(NtRulesTest, RoutinesAboveTheirIrqlFaultTheKernel) {
  load();
  PDRIVER_OBJECT driver = kernel.driver_object();
  {
    Name name("\\Device\\TESTDEV2");
    struct Row {
      const char* routine;
      std::function<void()> call;
      bool faults_at_apc;
    } rows[] = {
        {"IoCreateDevice",
         [&] {
           PDEVICE_OBJECT device = nullptr;
           if (NT_SUCCESS(IoCreateDevice(driver, 0, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device)))
             IoDeleteDevice(device);
         },
         true},
        {"IoCreateSymbolicLink",
         [&] {
           if (NT_SUCCESS(IoCreateSymbolicLink(name.get(), name.get()))) IoDeleteSymbolicLink(name.get());
         },
         true},
        {"IoAssignResources",
         [&] {
           PCM_RESOURCE_LIST list = nullptr;
           IoAssignResources(name.get(), nullptr, driver, nullptr, nullptr, &list);
         },
         true},
        {"IoReportResourceUsage",
         [&] {
           BOOLEAN conflict = FALSE;
           IoReportResourceUsage(nullptr, driver, nullptr, 0, nullptr, nullptr, 0, FALSE, &conflict);
         },
         true},
        {"RtlAnsiStringToUnicodeString", [] { Name other("x"); }, true},
        {"MmMapIoSpace",
         [] {
           PHYSICAL_ADDRESS at;
           at.QuadPart = 0xF0000;
           if (PVOID window = MmMapIoSpace(at, 0x1000, MmNonCached)) MmUnmapIoSpace(window, 0x1000);
         },
         true},
        {"ExAllocatePool", [] { ExFreePool(ExAllocatePool(NonPagedPool, 16)); }, false},
        {"ExAcquireFastMutex",
         [] {
           FAST_MUTEX inner;
           ExInitializeFastMutex(&inner);
           ExAcquireFastMutex(&inner);
           ExReleaseFastMutex(&inner);
         },
         false},
    };
    for (const Row& row : rows) {
      kernel.clear_driver_faults();
      // At PASSIVE_LEVEL every routine may be called.
      EXPECT_FALSE(in_driver(row.call).faulted) << row.routine;
      KIRQL held_at = PASSIVE_LEVEL;
      auto raised = in_driver([&] {
        FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        held_at = KeGetCurrentIrql();
        row.call();
        ExReleaseFastMutex(&mutex);
      });
      EXPECT_EQ(held_at, APC_LEVEL) << row.routine;
      EXPECT_EQ(raised.faulted, row.faults_at_apc) << row.routine;
      if (row.faults_at_apc) {
        ASSERT_EQ(kernel.driver_faults().size(), 1u) << row.routine;
        EXPECT_NE(kernel.driver_faults()[0].find(std::string(row.routine) + " called at APC_LEVEL"), std::string::npos)
            << kernel.driver_faults()[0];
      }
    }
  }
  // A dispatch routine that returns with the fast mutex held is a fault; the
  // next request runs at PASSIVE_LEVEL again.
  kernel.clear_driver_faults();
  static FAST_MUTEX left_held;
  ExInitializeFastMutex(&left_held);
  EXPECT_TRUE(in_driver([] { ExAcquireFastMutex(&left_held); }).faulted);
  ASSERT_EQ(kernel.driver_faults().size(), 1u);
  EXPECT_NE(kernel.driver_faults()[0].find("returned at APC_LEVEL"), std::string::npos) << kernel.driver_faults()[0];
  KIRQL after = DISPATCH_LEVEL;
  EXPECT_FALSE(in_driver([&] { after = KeGetCurrentIrql(); }).faulted);
  EXPECT_EQ(after, PASSIVE_LEVEL);
  kernel.clear_driver_faults();
  unload();
}

}  // namespace
