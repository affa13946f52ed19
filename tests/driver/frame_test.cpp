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
};

TEST_F(FrameTest, LoadMakesControlDeviceAliasAndExtension) {
  ASSERT_EQ(k.load_driver(DriverEntry, kServiceKey), STATUS_SUCCESS);
  EXPECT_EQ(k.debug_log(), Log{"NICDIAG: Initialized\n"});
  EXPECT_EQ(k.link_target("\\DosDevices\\NICPORT").value_or(""), "\\Device\\NICPORT");
  PDRIVER_OBJECT driver = k.driver_object();
  EXPECT_EQ(driver->DriverUnload, &KdvrUnloadDriver);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &KdvrDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &KdvrDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], &KdvrDispatchIoctl);
  EXPECT_NE(driver->MajorFunction[IRP_MJ_READ], &KdvrDispatch);  // the system answers those
  EXPECT_EQ(driver->DeviceObject->DeviceType, FILE_DEVICE_KDVR);
  PKDVR_DEVICE_EXTENSION e = Extension();
  EXPECT_EQ(e->DeviceObject, driver->DeviceObject);
  EXPECT_EQ(e->DriverObject, driver);
  EXPECT_EQ(e->NextDeviceNumber, 1);
  EXPECT_EQ(e->RegistryPath.MaximumLength, 512);
  EXPECT_EQ(e->RegistryPath.Length, std::string(kServiceKey).size() * 2);
}

TEST_F(FrameTest, DebugMaskBit0GatesOnlyTheLoadMessage) {
  KrnldrvrDebugLevel = 2;
  ASSERT_EQ(k.load_driver(DriverEntry, kServiceKey), STATUS_SUCCESS);
  EXPECT_EQ(k.debug_log(), Log{});
  handle = k.open("\\\\.\\NICPORT").handle;
  Validate(0x00400000);
  EXPECT_EQ(k.debug_log().size(), 1u);
}

TEST_F(FrameTest, LongRegistryPathIsCutAt512Bytes) {
  Load(std::string(kServiceKey) + "\\" + std::string(400, 'x'));
  EXPECT_EQ(Extension()->RegistryPath.Length, 512);
  EXPECT_EQ(Extension()->RegistryPathBuffer[1], 'R');
  EXPECT_EQ(Extension()->RegistryPathBuffer[255], 'x');
}

TEST_F(FrameTest, ControlDeviceIsExclusive) {
  Load();
  sim::kernel::OpenResult second = k.open("\\DosDevices\\NICPORT");
  EXPECT_LT(second.handle, 0);
  EXPECT_NE(second.status, STATUS_SUCCESS);
  EXPECT_EQ(k.close(handle), STATUS_SUCCESS);
  handle = k.open("\\\\.\\NICPORT").handle;
  EXPECT_GE(handle, 0);
}

TEST_F(FrameTest, UnloadDeletesEverythingInOrderAndNamesAreReusable) {
  Load();
  Unload();
  EXPECT_EQ(k.debug_log(), Log{});  // nothing but the control device to delete
  for (int round = 0; round < 2; round++) {
    Load();
    ASSERT_EQ(Validate(0x00401000).status, STATUS_SUCCESS);
    ASSERT_EQ(Validate(0x00402000).status, STATUS_SUCCESS);
    k.clear_debug_log();
    Unload();
    EXPECT_EQ(k.debug_log(), (Log{"*** NICDIAG.SYS: UnloadDriver().  Deleting DeviceObject 1.\n",
                                  "*** NICDIAG.SYS: UnloadDriver().  Deleting DeviceObject 2.\n"}));
    for (const char *name : {"\\Device\\NICPORT1", "\\DosDevices\\NICPORT1", "\\Device\\NICPORT2",
                             "\\DosDevices\\NICPORT2", "\\Device\\NICPORT", "\\DosDevices\\NICPORT"}) {
      EXPECT_FALSE(k.object_exists(name)) << name;
    }
  }
}

TEST_F(FrameTest, FailedLoadLeavesNothingBehind) {
  k.inject_fault(FaultPoint::CreateDevice);
  EXPECT_FALSE(NT_SUCCESS(k.load_driver(DriverEntry, kServiceKey)));
  k.inject_fault(FaultPoint::CreateSymbolicLink, {0, 1, STATUS_OBJECT_NAME_COLLISION});
  EXPECT_EQ(k.load_driver(DriverEntry, kServiceKey), STATUS_OBJECT_NAME_COLLISION);
  k.inject_fault(FaultPoint::AllocatePool, {1, 1});  // the alias name
  EXPECT_FALSE(NT_SUCCESS(k.load_driver(DriverEntry, kServiceKey)));
  EXPECT_FALSE(k.driver_loaded());
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT"));
  EXPECT_EQ(k.pool_blocks(), 0u);
  Load();
}

TEST_F(FrameTest, PerDeviceObjectsCannotBeOpened) {
  Load();
  ASSERT_EQ(Validate(0x00401000).status, STATUS_SUCCESS);
  // The object stays marked as initialising, so the system refuses opens;
  // where it does not check the mark, the driver refuses them itself.
  sim::kernel::OpenResult open = k.open("\\DosDevices\\NICPORT1");
  EXPECT_EQ(open.status, STATUS_NO_SUCH_DEVICE);
  Extension()->DeviceObjectTable[1]->Flags &= ~DO_DEVICE_INITIALIZING;
  open = k.open("\\DosDevices\\NICPORT1");
  EXPECT_EQ(open.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_LT(open.handle, 0);
}

}  // namespace
}  // namespace nicport_test
