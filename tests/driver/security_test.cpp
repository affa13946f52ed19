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

// Who gets in, and with what. The device object keeps IoCreateDevice's
// default descriptor, which the I/O manager checks first and which lets every
// user open it; the driver's own rule then admits only administrators and
// SYSTEM, with the access they asked for. Owner rights (READ_CONTROL, part
// of every generic open, and WRITE_DAC) are checked without a fault: the
// driver's descriptor has an owner, Administrators, which a standard user is
// not.
TEST_F(SecurityTest, OnlyAdministratorsGetInWithTheAccessTheyAskedFor) {
  enum class How { CreateFile, NtCreateFile, Kernel, KernelForced };
  const struct {
    bool admin;
    How how;
    ACCESS_MASK desired;
    NTSTATUS status;
    bool writes;  // a state-changing code is carried out
  } rows[] = {
      {true, How::CreateFile, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS, true},
      {true, How::CreateFile, FILE_READ_DATA, STATUS_SUCCESS, false},
      {true, How::CreateFile, MAXIMUM_ALLOWED, STATUS_SUCCESS, true},
      {true, How::CreateFile, 0, STATUS_SUCCESS, false},
      {true, How::CreateFile, READ_CONTROL | WRITE_DAC, STATUS_SUCCESS, false},
      {false, How::CreateFile, GENERIC_READ | GENERIC_WRITE, STATUS_ACCESS_DENIED, false},
      {false, How::CreateFile, FILE_READ_DATA, STATUS_ACCESS_DENIED, false},
      {false, How::CreateFile, MAXIMUM_ALLOWED, STATUS_ACCESS_DENIED, false},
      {false, How::CreateFile, 0, STATUS_ACCESS_DENIED, false},
      {false, How::CreateFile, READ_CONTROL, STATUS_ACCESS_DENIED, false},
      // NtCreateFile asking for nothing: the I/O manager refuses it.
      {true, How::NtCreateFile, 0, STATUS_ACCESS_DENIED, false},
      // Kernel mode: unchecked unless forced, then checked as the user.
      {false, How::Kernel, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS, true},
      {false, How::KernelForced, GENERIC_READ | GENERIC_WRITE, STATUS_ACCESS_DENIED, false},
      {true, How::KernelForced, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS, true},
      {true, How::KernelForced, FILE_READ_DATA, STATUS_SUCCESS, false},
  };
  LoadOnly();
  // A port no device decodes: the write changes nothing but is a
  // state-changing code all the same.
  const std::vector<uint8_t> write = Words({0x80, 0x5A});
  for (const auto &row : rows) {
    k.set_client_admin(row.admin);
    sim::kernel::OpenResult open;
    switch (row.how) {
      case How::CreateFile: open = k.open("\\\\.\\NICPORT", row.desired); break;
      case How::NtCreateFile: open = k.open_native("\\\\.\\NICPORT", row.desired); break;
      case How::Kernel: open = k.open_from_kernel("\\Device\\NICPORT", row.desired, false); break;
      case How::KernelForced: open = k.open_from_kernel("\\Device\\NICPORT", row.desired, true); break;
    }
    const std::string what = "admin " + std::to_string(row.admin) + " how " +
                             std::to_string(static_cast<int>(row.how)) + " desired " + std::to_string(row.desired);
    EXPECT_FALSE(open.faulted) << what;
    EXPECT_EQ(open.status, row.status) << what;
    if (open.handle == -1) continue;
    EXPECT_EQ(WordAt(k.device_io_control(open.handle, IOCTL_KDVR_GET_IDENTIFIER, {}, 4), 0), KDVR_IDENTIFIER) << what;
    EXPECT_EQ(k.device_io_control(open.handle, IOCTL_KDVR_WRITE_PORT_UCHAR, write, 0).status,
              row.writes ? STATUS_SUCCESS : STATUS_ACCESS_DENIED)
        << what;
    k.close(open.handle);
  }
  k.set_client_admin(true);
  EXPECT_EQ(k.driver_faults(), Log{});
}

}  // namespace
