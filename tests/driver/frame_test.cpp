// Driver frame: load, open/close, unload and reload.
#include "tests/driver/driver_fixture.h"

namespace nicport_test {
namespace {

using sim::kernel::FaultPoint;

class FrameTest : public DriverTest {
 protected:
  bool LoadAtSetUp() const override { return false; }
  void TearDown() override {
    KrnldrvrDebugLevel = 1;
    DriverTest::TearDown();
  }
  NTSTATUS Validate(uint32_t address) {
    return Call(IOCTL_KDVR_VALIDATE_MEM_SPACE, Words({address, 0, kAdapterSlot}), 4).status;
  }
};

TEST_F(FrameTest, LoadCreatesControlDeviceAndAliasAndPrintsWithMaskBit0) {
  ASSERT_EQ(k.load_driver(DriverEntry, kServiceKey), STATUS_SUCCESS);
  EXPECT_EQ(k.debug_log(), std::vector<std::string>{"NICDIAG: Initialized\n"});
  EXPECT_TRUE(k.object_exists("\\Device\\NICPORT"));
  EXPECT_EQ(k.link_target("\\DosDevices\\NICPORT").value_or(""), "\\Device\\NICPORT");
  PDRIVER_OBJECT driver = k.driver_object();
  EXPECT_EQ(driver->DriverUnload, &KdvrUnloadDriver);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &KdvrDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &KdvrDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], &KdvrDispatchIoctl);
  // No read, write or cleanup routine: the system answers those itself.
  for (int major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP}) {
    EXPECT_NE(driver->MajorFunction[major], &KdvrDispatch);
    EXPECT_NE(driver->MajorFunction[major], &KdvrDispatchIoctl);
  }
  EXPECT_EQ(driver->DeviceObject->DeviceType, FILE_DEVICE_KDVR);

  PKDVR_DEVICE_EXTENSION e = Extension();
  EXPECT_EQ(e->DeviceObject, driver->DeviceObject);
  EXPECT_EQ(e->DriverObject, driver);
  EXPECT_EQ(e->NextDeviceNumber, 1);
  EXPECT_EQ(e->FirstRangeStart, 0u);
  EXPECT_EQ(e->RegistryPath.MaximumLength, 512);
  EXPECT_EQ(e->RegistryPath.Buffer, e->RegistryPathBuffer);
  EXPECT_EQ(e->RegistryPath.Length, std::string(kServiceKey).size() * 2);
  EXPECT_EQ(e->RegistryPathBuffer[0], '\\');
  for (int n = 0; n < KDVR_DEVICE_TABLE_SIZE; n++) {
    EXPECT_EQ(e->DeviceObjectTable[n], nullptr);
    EXPECT_EQ(e->DeviceObjectResource[n], nullptr);
  }
  for (int i = 0; i < KDVR_SLOT_DEVICE_COUNT; i++) EXPECT_EQ(e->SlotDeviceObject[i], nullptr);
}

TEST_F(FrameTest, DebugMaskZeroSilencesOnlyTheLoadMessage) {
  KrnldrvrDebugLevel = 0;
  ASSERT_EQ(k.load_driver(DriverEntry, kServiceKey), STATUS_SUCCESS);
  EXPECT_TRUE(k.debug_log().empty());
  handle = k.open("\\\\.\\NICPORT").handle;
  // Every other message prints whatever the mask holds.
  Call(IOCTL_KDVR_VALIDATE_MEM_SPACE, Words({0x00400000, 0, kAdapterSlot}), 4);
  EXPECT_EQ(k.debug_log().size(), 1u);
  KrnldrvrDebugLevel = 2;  // only bit 0 is tested
  Unload();
  k.clear_debug_log();
  ASSERT_EQ(k.load_driver(DriverEntry, kServiceKey), STATUS_SUCCESS);
  EXPECT_TRUE(k.debug_log().empty());
}

TEST_F(FrameTest, LongRegistryPathIsCutAt512Bytes) {
  std::string path = std::string(kServiceKey) + "\\" + std::string(400, 'x');
  Load(path);
  PKDVR_DEVICE_EXTENSION e = Extension();
  EXPECT_EQ(e->RegistryPath.Length, 512);
  EXPECT_EQ(e->RegistryPathBuffer[255], 'x');
  EXPECT_EQ(e->RegistryPathBuffer[1], 'R');
}

TEST_F(FrameTest, ControlDeviceIsExclusiveAndCreateCloseSucceed) {
  Load();
  sim::kernel::OpenResult second = k.open("\\DosDevices\\NICPORT");
  EXPECT_LT(second.handle, 0);
  EXPECT_NE(second.status, STATUS_SUCCESS);
  EXPECT_EQ(k.close(handle), STATUS_SUCCESS);
  handle = -1;
  sim::kernel::OpenResult again = k.open("\\\\.\\NICPORT");
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  handle = again.handle;
}

TEST_F(FrameTest, UnloadWithNothingMadeDeletesControlDeviceQuietly) {
  Load();
  Unload();
  EXPECT_TRUE(k.debug_log().empty());
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT"));
  EXPECT_FALSE(k.object_exists("\\DosDevices\\NICPORT"));
}

TEST_F(FrameTest, UnloadDeletesPerDeviceObjectsInOrderAndNamesAreReusable) {
  for (int round = 0; round < 2; round++) {
    Load();
    ASSERT_EQ(Validate(0x00401000), STATUS_SUCCESS);
    ASSERT_EQ(Validate(0x00402000), STATUS_SUCCESS);
    EXPECT_TRUE(k.object_exists("\\Device\\NICPORT1"));
    EXPECT_TRUE(k.object_exists("\\Device\\NICPORT2"));
    k.clear_debug_log();
    Unload();
    EXPECT_EQ(k.debug_log(), (std::vector<std::string>{
                                 "*** NICDIAG.SYS: UnloadDriver().  Deleting DeviceObject 1.\n",
                                 "*** NICDIAG.SYS: UnloadDriver().  Deleting DeviceObject 2.\n"}));
    for (const char *name : {"\\Device\\NICPORT1", "\\DosDevices\\NICPORT1", "\\Device\\NICPORT2",
                             "\\DosDevices\\NICPORT2", "\\Device\\NICPORT", "\\DosDevices\\NICPORT"}) {
      EXPECT_FALSE(k.object_exists(name)) << name;
    }
  }
}

TEST_F(FrameTest, FailedControlDeviceOrAliasLeavesNothingBehind) {
  k.inject_fault(FaultPoint::CreateDevice);
  EXPECT_FALSE(NT_SUCCESS(k.load_driver(DriverEntry, kServiceKey)));
  EXPECT_FALSE(k.driver_loaded());
  EXPECT_EQ(k.pool_blocks(), 0u);

  k.inject_fault(FaultPoint::CreateSymbolicLink, {0, 1, STATUS_OBJECT_NAME_COLLISION});
  EXPECT_EQ(k.load_driver(DriverEntry, kServiceKey), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_FALSE(k.driver_loaded());
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT"));
  EXPECT_EQ(k.pool_blocks(), 0u);

  // Name conversion failing (pool exhausted) fails the load cleanly too.
  k.inject_fault(FaultPoint::AllocatePool, {1, 1});
  EXPECT_FALSE(NT_SUCCESS(k.load_driver(DriverEntry, kServiceKey)));
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT"));
  EXPECT_EQ(k.pool_blocks(), 0u);

  Load();
}

TEST_F(FrameTest, PerDeviceObjectsRefuseOpens) {
  Load();
  ASSERT_EQ(Validate(0x00401000), STATUS_SUCCESS);
  sim::kernel::OpenResult open = k.open("\\DosDevices\\NICPORT1");
  EXPECT_EQ(open.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_LT(open.handle, 0);
  EXPECT_EQ(Extension()->NextDeviceNumber, 2);
}

}  // namespace
}  // namespace nicport_test
