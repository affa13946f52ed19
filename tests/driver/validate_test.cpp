// Memory-window validation: aligned addresses, per-device objects, slot
// resource re-assignment, the first range, and every failure path.
#include "sim/hw/machine.h"
#include "tests/driver/driver_fixture.h"

namespace nicport_test {
namespace {

using sim::kernel::FaultPoint;

class ValidateTest : public DriverTest {
 protected:
  uint32_t FirstRange() { return WordAt(Call(IOCTL_KDVR_GET_FIRST_RANGE_START, {}, 4), 0); }
};

TEST_F(ValidateTest, AddressOn2MBBoundaryComesBackUnchanged) {
  EXPECT_EQ(Validate(0x00400000).output, Words({0x00400000}));
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT1"));
  EXPECT_EQ(k.debug_log(), Log{"NICDIAG.SYS: Calling ValidateMemSpace(). BusNumber = 0, SlotNumber = 3, "
                               "PhysAddress = 400000\n"});
  EXPECT_EQ(FirstRange(), 0u);
}

TEST_F(ValidateTest, UnalignedAddressMakesPerDeviceObjectAndReturnsSecondRange) {
  sim::kernel::IoResult r = Validate(0x00401000);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  // The default adapter's BARs: memory at 0xF4000000 first, I/O at 0xE000 second.
  EXPECT_EQ(r.output, Words({kAdapterPort}));
  EXPECT_EQ(FirstRange(), kAdapterMemory);
  EXPECT_EQ(k.link_target("\\DosDevices\\NICPORT1").value_or(""), "\\Device\\NICPORT1");
  EXPECT_EQ(k.debug_log(),
            (Log{"NICDIAG.SYS: Calling ValidateMemSpace(). BusNumber = 0, SlotNumber = 3, PhysAddress = 401000\n",
                 "NICDIAG.SYS: VALIDATE(): *** ATU Physical memory NOT in 2MB boundary.\n",
                 "NICDIAG.SYS: VALIDATE(): Creating a Device Object for this Device.\n",
                 "NICDIAG.SYS: VALIDATE(): Call HalAssignSlotResource()!!!.\n",
                 "NICDIAG.SYS: VALIDATE(): HalAssignSlotResource NT_STATUS_SUCCESS. New Address = E000\n"}));
  PKDVR_DEVICE_EXTENSION e = Extension();
  EXPECT_EQ(e->NextDeviceNumber, 2);
  ASSERT_NE(e->DeviceObjectTable[1], nullptr);
  EXPECT_EQ(e->DeviceObjectTable[1]->DeviceType, FILE_DEVICE_UNKNOWN);
  // The new object stays on the driver object's list, at its head, where
  // unload and the system find it.
  EXPECT_EQ(DeviceList(), (std::vector<PDEVICE_OBJECT>{e->DeviceObjectTable[1], e->DeviceObject}));
  // The assigned list and the names go back to the pool.
  size_t pool = k.pool_blocks();
  EXPECT_EQ(Validate(0x00401000).status, STATUS_SUCCESS);
  EXPECT_TRUE(k.object_exists("\\Device\\NICPORT2"));
  EXPECT_EQ(k.pool_blocks(), pool);
  EXPECT_EQ(DeviceList(),
            (std::vector<PDEVICE_OBJECT>{e->DeviceObjectTable[2], e->DeviceObjectTable[1], e->DeviceObject}));
}

TEST_F(ValidateTest, FailedCreationsOrAssignmentLeaveNoObjectAndTheNumberUnchanged) {
  const struct {
    FaultPoint point;
    const char *message;
  } cases[] = {
      {FaultPoint::CreateDevice, "NICDIAG.SYS: VALIDATE(): Failed to create a new Device Object.\n"},
      {FaultPoint::CreateSymbolicLink,
       "NICDIAG.SYS: VALIDATE(): Failed to create a symbolic link to new Device Object.\n"},
      {FaultPoint::AssignSlotResources, "NICDIAG.SYS: VALIDATE(): HalAssignSlotResource FAILED\n"},
  };
  for (const auto &c : cases) {
    k.clear_debug_log();
    k.inject_fault(c.point, {0, 1, STATUS_CONFLICTING_ADDRESSES});
    sim::kernel::IoResult r = Validate(0x00401000);
    EXPECT_EQ(r.status, STATUS_CONFLICTING_ADDRESSES) << c.message;
    EXPECT_EQ(r.information, 0u);
    ASSERT_FALSE(k.debug_log().empty());
    EXPECT_EQ(k.debug_log().back(), c.message);
    EXPECT_FALSE(k.object_exists("\\Device\\NICPORT1")) << c.message;
    EXPECT_FALSE(k.object_exists("\\DosDevices\\NICPORT1")) << c.message;
    EXPECT_EQ(DeviceList(), std::vector<PDEVICE_OBJECT>{Extension()->DeviceObject}) << c.message;
    EXPECT_EQ(k.resource_claims(), Log{}) << c.message;
  }
  for (unsigned skip : {0u, 2u}) {  // the device name, the registry path
    k.inject_fault(FaultPoint::AllocatePool, {skip, 1});
    EXPECT_FALSE(NT_SUCCESS(Validate(0x00401000).status));
    EXPECT_FALSE(k.object_exists("\\Device\\NICPORT1"));
  }
  EXPECT_EQ(Extension()->NextDeviceNumber, 1);
  EXPECT_EQ(FirstRange(), 0u);
  // The name is free again.
  EXPECT_EQ(Validate(0x00401000).status, STATUS_SUCCESS);
  EXPECT_TRUE(k.object_exists("\\Device\\NICPORT1"));
}

TEST_F(ValidateTest, NumbersPast11AreRefusedBeforeCreatingAnything) {
  for (int n = 1; n <= 11; n++) ASSERT_EQ(Validate(0x00401000).status, STATUS_SUCCESS) << n;
  sim::kernel::IoResult r = Validate(0x00401000);
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.information, 0u);
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT12"));
  EXPECT_EQ(Extension()->NextDeviceNumber, 12);
  EXPECT_EQ(Validate(0x00200000).status, STATUS_SUCCESS);  // aligned ones still pass
  Unload();
  EXPECT_EQ(k.debug_log().back(), "*** NICDIAG.SYS: UnloadDriver().  Deleting DeviceObject 11.\n");
}

class ShortListTest : public ValidateTest {
 protected:
  bool LoadAtSetUp() const override { return false; }
};

TEST_F(ShortListTest, AssignedListWithOneRangeCountsAsFailureAndGivesItsClaimBack) {
  // One BAR and no interrupt: the HAL assigns a single range, and claims it
  // for the new object.
  k.load_profile_text(R"({ "adapters": [ { "bus": 0, "device": 3, "irq": 0,
      "bars": [ { "type": "memory", "size": "0x1000", "address": "0xF4000000" } ] } ] })");
  Load();
  size_t pool = k.pool_blocks();
  for (int attempt = 0; attempt < 2; attempt++) {  // the name and the range are free again
    sim::kernel::IoResult r = Validate(0x00401000);
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.information, 0u);
    EXPECT_FALSE(k.object_exists("\\Device\\NICPORT1"));
    EXPECT_EQ(k.pool_blocks(), pool);  // the lists were freed
    // Deleting the object does not give back what was claimed for it.
    EXPECT_EQ(k.resource_claims(), Log{});
    EXPECT_EQ(k.machine().adapters()[0]->bar_address(0), kAdapterMemory) << "the range did not move";
  }
  EXPECT_EQ(FirstRange(), 0u);
}

}  // namespace
}  // namespace nicport_test
