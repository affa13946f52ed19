// Who may open the driver and what an open may do: administrators get in,
// standard users and names below the device do not, and a read-only open
// cannot change state.
#include "tests/driver/driver_fixture.h"

namespace {

using namespace nicport_test;

class SecurityTest : public DriverTest {
 protected:
  bool LoadAtSetUp() const override { return false; }
  void LoadOnly() { ASSERT_EQ(k.load_driver(DriverEntry, kServiceKey), STATUS_SUCCESS); }
};

TEST_F(SecurityTest, AdministratorsGetInStandardUsersAreRefused) {
  LoadOnly();
  sim::kernel::OpenResult admin = k.open("\\\\.\\NICPORT");
  ASSERT_EQ(admin.status, STATUS_SUCCESS);
  k.close(admin.handle);

  k.set_client_admin(false);
  for (const char *name : {"\\\\.\\NICPORT", "\\Device\\NICPORT", "\\DosDevices\\NICPORT"}) {
    sim::kernel::OpenResult user = k.open(name);
    EXPECT_EQ(user.status, STATUS_ACCESS_DENIED) << name;
    EXPECT_EQ(user.handle, -1) << name;
  }
  // Refusals leave the device free for an administrator.
  k.set_client_admin(true);
  sim::kernel::OpenResult again = k.open("\\\\.\\NICPORT");
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  handle = again.handle;
}

TEST_F(SecurityTest, ProfileClientKeyChoosesTheToken) {
  k.load_profile_text(R"({"adapters": [], "client": {"admin": false}})", "user profile");
  LoadOnly();
  EXPECT_EQ(k.open("\\\\.\\NICPORT").status, STATUS_ACCESS_DENIED);
  Unload();
  EXPECT_THROW(k.load_profile_text(R"({"client": {"admin": "no"}})", "p"), std::runtime_error);
  EXPECT_THROW(k.load_profile_text(R"({"client": {"root": true}})", "p"), std::runtime_error);
}

TEST_F(SecurityTest, NamesBelowTheDeviceAreRefusedEvenToAdministrators) {
  LoadOnly();
  for (const char *name : {"\\\\.\\NICPORT\\x", "\\Device\\NICPORT\\a\\b", "\\??\\NICPORT\\"}) {
    EXPECT_EQ(k.open(name).status, STATUS_ACCESS_DENIED) << name;
  }
  // The device itself is still free.
  sim::kernel::OpenResult open = k.open("\\\\.\\NICPORT");
  EXPECT_EQ(open.status, STATUS_SUCCESS);
  handle = open.handle;
}

TEST_F(SecurityTest, ReadOnlyOpenReadsButCannotChangeState) {
  LoadOnly();
  sim::kernel::OpenResult open = k.open("\\\\.\\NICPORT", GENERIC_READ);
  ASSERT_EQ(open.status, STATUS_SUCCESS);
  handle = open.handle;
  EXPECT_EQ(WordAt(Call(IOCTL_KDVR_GET_IDENTIFIER, {}, 4), 0), KDVR_IDENTIFIER);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_UCHAR, KDVR_PORT_ARGS{kAdapterPort, 0}, 4).status, STATUS_SUCCESS);
  // Exactly the codes the table marks as changing state are refused.
  for (const ControlCode &row : kControlCodes) {
    sim::kernel::IoResult r = Call(row.code, Words({kAdapterMemory, 0, 0x1000, 0, 0, 0}), 8);
    if (row.changes_state) {
      EXPECT_EQ(r.status, STATUS_ACCESS_DENIED) << row.name;
      EXPECT_EQ(r.information, 0u) << row.name;
    } else {
      EXPECT_NE(r.status, STATUS_ACCESS_DENIED) << row.name;
    }
  }
  // Among them every code that writes, maps, validates, programs or claims.
  const uint32_t refused[] = {
      IOCTL_KDVR_WRITE_PORT_UCHAR,   IOCTL_KDVR_WRITE_PORT_USHORT,   IOCTL_KDVR_WRITE_PORT_ULONG,
      IOCTL_KDVR_WRITE_MEMORY_UCHAR, IOCTL_KDVR_WRITE_MEMORY_USHORT, IOCTL_KDVR_WRITE_MEMORY_ULONG,
      IOCTL_KDVR_MAP_MEMORY,         IOCTL_KDVR_UNMAP_MEMORY,        IOCTL_KDVR_VALIDATE_MEM_SPACE,
      IOCTL_KDVR_WRITE_PCI_CONFIG,   IOCTL_KDVR_WRITE_EEPROM,        IOCTL_KDVR_MDI_WRITE,
      IOCTL_KDVR_GET_RESOURCES,
  };
  for (uint32_t code : refused) {
    EXPECT_EQ(Call(code, Words({kAdapterMemory, 0, 0x1000, 0, 0, 0}), 8).status, STATUS_ACCESS_DENIED)
        << std::hex << code;
  }
  EXPECT_EQ(k.mapped_windows(), 0u);
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT1"));
}

TEST_F(SecurityTest, EveryDeviceOfTheDriverIsSecuredTheSameWay) {
  Load();
  ASSERT_EQ(Validate(0x00401000).status, STATUS_SUCCESS);  // makes \Device\NICPORT1
  PDEVICE_OBJECT control = k.driver_object()->DeviceObject;
  EXPECT_NE(control->Characteristics & FILE_DEVICE_SECURE_OPEN, 0u);
  for (PDEVICE_OBJECT d = control; d != nullptr; d = d->NextDevice)
    EXPECT_NE(d->Characteristics & FILE_DEVICE_SECURE_OPEN, 0u);
  // Never opened, by anyone.
  for (bool admin : {true, false}) {
    k.set_client_admin(admin);
    EXPECT_NE(k.open("\\\\.\\NICPORT1").status, STATUS_SUCCESS) << admin;
  }
  k.set_client_admin(true);
}

// The driver's descriptor has an owner, so opens that ask for the owner's
// rights (every generic open includes READ_CONTROL) are checked, not a
// fault; the owner is Administrators, which a standard user is not.
TEST_F(SecurityTest, OpensAskingForOwnerRightsAreCheckedWithoutAFault) {
  LoadOnly();
  const struct {
    bool admin;
    ACCESS_MASK desired;
    NTSTATUS status;
  } rows[] = {
      {true, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS},
      {true, READ_CONTROL | WRITE_DAC, STATUS_SUCCESS},
      {true, MAXIMUM_ALLOWED, STATUS_SUCCESS},
      {false, READ_CONTROL, STATUS_ACCESS_DENIED},
      {false, MAXIMUM_ALLOWED, STATUS_ACCESS_DENIED},
      {false, GENERIC_READ, STATUS_ACCESS_DENIED},
  };
  for (const auto &row : rows) {
    k.set_client_admin(row.admin);
    sim::kernel::OpenResult open = k.open("\\\\.\\NICPORT", row.desired);
    EXPECT_FALSE(open.faulted) << std::hex << row.desired;
    EXPECT_EQ(open.status, row.status) << std::hex << row.desired << " admin " << row.admin;
    if (open.handle != -1) k.close(open.handle);
  }
  k.set_client_admin(true);
  EXPECT_EQ(k.driver_faults(), Log{});
}

// A kernel-mode open is granted what it asks unless the I/O manager marks it
// for a check as the user (SL_FORCE_ACCESS_CHECK).
TEST_F(SecurityTest, KernelOpensForcedToACheckAreCheckedAsTheUser) {
  LoadOnly();
  const struct {
    bool admin;
    bool force;
    NTSTATUS status;
  } rows[] = {
      {false, false, STATUS_SUCCESS},
      {false, true, STATUS_ACCESS_DENIED},
      {true, true, STATUS_SUCCESS},
  };
  for (const auto &row : rows) {
    k.set_client_admin(row.admin);
    sim::kernel::OpenResult open = k.open_from_kernel("\\Device\\NICPORT", GENERIC_READ | GENERIC_WRITE, row.force);
    EXPECT_EQ(open.status, row.status) << "admin " << row.admin << " forced " << row.force;
    if (open.handle != -1) k.close(open.handle);
  }
  k.set_client_admin(true);
  EXPECT_EQ(k.driver_faults(), Log{});
}

}  // namespace
