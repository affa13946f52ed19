// Rules of NT that a driver can crash the machine by breaking, as the
// simulated kernel enforces them: the owner rules of SeAccessCheck, generic
// rights mapped before a create routine sees them, and the IRQL each
// routine needs.
#include <cstring>

#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;

// S-1-5-32-544 (Administrators), S-1-5-32-545 (Users) and S-1-5-18 (SYSTEM,
// which no client token holds) in binary form.
const UCHAR kAdmins[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
const UCHAR kUsers[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 0x02, 0, 0};
const UCHAR kSystem[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

// An access list of one entry for `sid`: allow (type 0) or deny (type 1).
struct OneEntryAcl {
  ACL header{};
  UCHAR entry[8 + sizeof kUsers]{};
  OneEntryAcl(UCHAR type, ACCESS_MASK mask, const UCHAR* sid) {
    header.AclRevision = ACL_REVISION;
    header.AclSize = sizeof *this;
    header.AceCount = 1;
    entry[0] = type;
    entry[2] = sizeof entry;
    std::memcpy(entry + 4, &mask, 4);
    std::memcpy(entry + 8, sid, sizeof kUsers);
  }
};

class NtRulesTest : public Fixture {};

TEST_F(NtRulesTest, OwnerRulesOfSeAccessCheck) {
  // Users may read data; Administrators are denied READ_CONTROL by entry.
  OneEntryAcl allow_users(ACCESS_ALLOWED_ACE_TYPE, FILE_READ_DATA, kUsers);
  OneEntryAcl deny_admins(ACCESS_DENIED_ACE_TYPE, READ_CONTROL, kAdmins);
  struct Row {
    const char* what;
    const UCHAR* owner;
    OneEntryAcl* acl;
    bool admin;
    ACCESS_MASK desired;
    bool faults;
    ACCESS_MASK granted;  // 0: refused
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
  };
  ASSERT_EQ(kernel.load_driver(DriverEntry, kRegistryPath), STATUS_SUCCESS);
  for (const Row& row : rows) {
    SECURITY_DESCRIPTOR sd;
    RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    RtlSetDaclSecurityDescriptor(&sd, TRUE, &row.acl->header, FALSE);
    if (row.owner != nullptr) RtlSetOwnerSecurityDescriptor(&sd, const_cast<UCHAR*>(row.owner), FALSE);
    ACCESS_MASK granted = 0;
    NTSTATUS status = STATUS_PENDING;
    BOOLEAN admitted = FALSE;
    g_create_hook = [&](PIRP irp) {
      PSECURITY_SUBJECT_CONTEXT subject =
          &IoGetCurrentIrpStackLocation(irp)->Parameters.Create.SecurityContext->AccessState->SubjectSecurityContext;
      admitted = SeAccessCheck(&sd, subject, FALSE, row.desired, 0, nullptr, IoGetFileObjectGenericMapping(), UserMode,
                               &granted, &status);
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

TEST_F(NtRulesTest, GenericRightsAreMappedBeforeTheCreateRoutine) {
  const struct {
    ACCESS_MASK asked;
    ACCESS_MASK seen;
  } rows[] = {
      {GENERIC_READ, FILE_GENERIC_READ},
      {GENERIC_WRITE, FILE_GENERIC_WRITE},
      {GENERIC_EXECUTE, FILE_GENERIC_EXECUTE},
      {GENERIC_ALL, FILE_ALL_ACCESS},
      {GENERIC_READ | FILE_WRITE_DATA, FILE_GENERIC_READ | FILE_WRITE_DATA},
      {FILE_READ_DATA, FILE_READ_DATA},
  };
  ASSERT_EQ(kernel.load_driver(DriverEntry, kRegistryPath), STATUS_SUCCESS);
  for (const auto& row : rows) {
    ACCESS_MASK desired = 0, remaining = 0, original = 0;
    g_create_hook = [&](PIRP irp) {
      PIO_SECURITY_CONTEXT security = IoGetCurrentIrpStackLocation(irp)->Parameters.Create.SecurityContext;
      desired = security->DesiredAccess;
      remaining = security->AccessState->RemainingDesiredAccess;
      original = security->AccessState->OriginalDesiredAccess;
    };
    auto opened = kernel.open("\\\\.\\TESTDEV", row.asked);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    kernel.close(opened.handle);
    EXPECT_EQ(desired, row.seen) << std::hex << row.asked;
    EXPECT_EQ(remaining, row.seen) << std::hex << row.asked;
    EXPECT_EQ(original, row.seen) << std::hex << row.asked;
  }
  g_create_hook = nullptr;
  EXPECT_TRUE(kernel.unload_driver().empty());
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
