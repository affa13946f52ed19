// Object namespace, device list, exclusive open, load and unload.
#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;
using sim::kernel::nt_status_to_win32_error;

class ObjectsTest : public Fixture {};

TEST_F(ObjectsTest, NamesCollideAsNtRefusesThem) {
  load();
  NTSTATUS again = 0, same_other_case = 0, link_again = 0, link_on_device = 0, no_dir = 0, relative = 0,
           delete_missing = 0, delete_device = 0;
  in_driver([&] {
    PDEVICE_OBJECT d = nullptr;
    Name dev("\\Device\\TESTDEV"), dev_case("\\device\\testdev"), link("\\DosDevices\\TESTDEV");
    Name missing_dir("\\Nowhere\\X"), rel("TESTDEV2"), missing_link("\\DosDevices\\NONE");
    again = IoCreateDevice(kernel.driver_object(), 0, dev.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
    same_other_case = IoCreateDevice(kernel.driver_object(), 0, dev_case.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
    link_again = IoCreateSymbolicLink(link.get(), dev.get());
    link_on_device = IoCreateSymbolicLink(dev.get(), dev.get());
    no_dir = IoCreateDevice(kernel.driver_object(), 0, missing_dir.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
    relative = IoCreateDevice(kernel.driver_object(), 0, rel.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
    delete_missing = IoDeleteSymbolicLink(missing_link.get());
    delete_device = IoDeleteSymbolicLink(dev.get());
  });
  EXPECT_EQ(again, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(same_other_case, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(link_again, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(link_on_device, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(no_dir, STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(relative, STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(delete_missing, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_NE(delete_device, STATUS_SUCCESS);
  EXPECT_TRUE(kernel.object_exists("\\Device\\TESTDEV"));
  EXPECT_EQ(kernel.link_target("\\DosDevices\\TESTDEV"), "\\Device\\TESTDEV");
  EXPECT_EQ(nt_status_to_win32_error(STATUS_OBJECT_NAME_COLLISION), 183u);
  EXPECT_TRUE(unload().empty());
  EXPECT_TRUE(kernel.driver_faults().empty());
}

TEST_F(ObjectsTest, NewDevicesGoToTheHeadAndDeleteUnlinksFromTheDriverObject) {
  load();
  PDRIVER_OBJECT driver = kernel.driver_object();
  PDEVICE_OBJECT control = driver->DeviceObject;
  PDEVICE_OBJECT a = nullptr, b = nullptr;
  in_driver([&] {
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &a);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &b);
  });
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(driver->DeviceObject, b);
  EXPECT_EQ(b->NextDevice, a);
  EXPECT_EQ(a->NextDevice, control);
  EXPECT_EQ(control->NextDevice, nullptr);
  in_driver([&] { IoDeleteDevice(a); });  // from the middle
  EXPECT_EQ(b->NextDevice, control);
  EXPECT_TRUE(kernel.driver_faults().empty());

  // The driver puts the control device back at the head: b is no longer on
  // the list, and deleting it walks off the end as NT does.
  driver->DeviceObject = control;
  auto r = in_driver([&] { IoDeleteDevice(b); });
  EXPECT_TRUE(r.faulted);
  ASSERT_EQ(kernel.driver_faults().size(), 1u);
  EXPECT_NE(kernel.driver_faults()[0].find("not on its driver's device list"), std::string::npos);
  auto leaks = unload();
  ASSERT_EQ(leaks.devices.size(), 1u);  // b, which nobody could delete
  EXPECT_NE(leaks.devices[0].find("unnamed device object"), std::string::npos);
}

// IoDeleteDevice of a device with an open file object: the name goes at
// once, the object stays on its driver's list (delete pending) and goes
// with the last reference, unlinked through the list. One that the driver
// took off the list by hand meanwhile cannot be unlinked: a fault at the
// close that drops the last reference.
TEST_F(ObjectsTest, DeletingAReferencedDeviceIsDeferredToItsLastClose) {
  for (bool taken_off_by_hand : {false, true}) {
    load();
    PDRIVER_OBJECT driver = kernel.driver_object();
    PDEVICE_OBJECT control = driver->DeviceObject, late = nullptr;
    in_driver([&] {
      Name name("\\Device\\LATE");
      IoCreateDevice(driver, 0, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &late);
    });
    ASSERT_NE(late, nullptr);
    late->Flags &= ~DO_DEVICE_INITIALIZING;
    auto opened = kernel.open("\\Device\\LATE");
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    in_driver([&] { IoDeleteDevice(late); });
    EXPECT_FALSE(kernel.object_exists("\\Device\\LATE")) << taken_off_by_hand;
    EXPECT_EQ(kernel.open("\\Device\\LATE").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(driver->DeviceObject, late) << "still listed while referenced";
    EXPECT_EQ(late->NextDevice, control);
    if (taken_off_by_hand) driver->DeviceObject = control;
    EXPECT_EQ(kernel.close(opened.handle), STATUS_SUCCESS);
    EXPECT_EQ(driver->DeviceObject, control);
    if (taken_off_by_hand) {
      ASSERT_EQ(kernel.driver_faults().size(), 1u);
      EXPECT_NE(kernel.driver_faults()[0].find("IRP_MJ_CLOSE: deleting the device object: \\Device\\LATE is not on"),
                std::string::npos)
          << kernel.driver_faults()[0];
      kernel.clear_driver_faults();
    } else {
      EXPECT_TRUE(kernel.driver_faults().empty());
    }
    EXPECT_TRUE(unload().empty());
  }
}

TEST_F(ObjectsTest, ExclusiveDeviceRefusesASecondOpen) {
  load();
  auto second = kernel.open("\\DosDevices\\TESTDEV");
  EXPECT_EQ(second.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(second.handle, -1);
  EXPECT_EQ(nt_status_to_win32_error(second.status), 5u);
  EXPECT_EQ(kernel.close(handle), STATUS_SUCCESS);
  EXPECT_EQ(kernel.close(handle), STATUS_INVALID_HANDLE);
  auto third = kernel.open("\\??\\testdev");
  EXPECT_EQ(third.status, STATUS_SUCCESS);
  handle = third.handle;
  // Create, then cleanup and close for the first handle, then create.
  std::vector<UCHAR> expected{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_CREATE};
  EXPECT_EQ(g_majors_seen, expected);
  auto missing = kernel.open("\\\\.\\NOSUCH");
  EXPECT_EQ(missing.status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(nt_status_to_win32_error(missing.status), 2u);
  EXPECT_TRUE(unload().empty());
}

TEST_F(ObjectsTest, DevicesMadeAfterDriverEntryOpenOnlyOnceTheDriverClearsInitializing) {
  load();
  PDEVICE_OBJECT late = nullptr;
  in_driver([&] {
    Name name("\\Device\\LATE");
    IoCreateDevice(kernel.driver_object(), 0, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &late);
  });
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late->NextDevice->Flags & DO_DEVICE_INITIALIZING, 0u) << "made in DriverEntry";
  EXPECT_EQ(kernel.open("\\Device\\LATE").status, STATUS_NO_SUCH_DEVICE);
  late->Flags &= ~DO_DEVICE_INITIALIZING;
  auto opened = kernel.open("\\Device\\LATE");
  EXPECT_EQ(opened.status, STATUS_SUCCESS);
  kernel.close(opened.handle);
  EXPECT_TRUE(unload().empty());
}

TEST_F(ObjectsTest, SharedDeviceAcceptsSeveralOpensAndCreateStatusIsTheOpens) {
  g_config.exclusive = false;
  load();
  auto second = kernel.open("\\Device\\TESTDEV");
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  g_config.create_status = STATUS_ACCESS_DENIED;
  EXPECT_EQ(kernel.open("\\\\.\\TESTDEV").status, STATUS_ACCESS_DENIED);
  kernel.close(second.handle);
  EXPECT_TRUE(unload().empty());
}

TEST_F(ObjectsTest, UnloadReportsEverythingLeftAliveAndTheDriverLoadsAgain) {
  load();
  in_driver([&] {
    Name other("\\DosDevices\\LEAKED"), target("\\Device\\TESTDEV");
    IoCreateSymbolicLink(other.get(), target.get());
    ExAllocatePoolWithTag(NonPagedPool, 40, 0x6B61654C /* 'Leak' */);
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xF4000000;
    MmMapIoSpace(at, 0x1000, MmNonCached);
  });
  auto leaks = unload();
  EXPECT_FALSE(leaks.empty());
  ASSERT_EQ(leaks.links.size(), 1u);
  EXPECT_EQ(leaks.links[0], "\\DosDevices\\LEAKED -> \\Device\\TESTDEV");
  ASSERT_EQ(leaks.pool.size(), 1u);
  EXPECT_NE(leaks.pool[0].find("40 bytes"), std::string::npos);
  EXPECT_NE(leaks.pool[0].find("'Leak'"), std::string::npos);
  EXPECT_EQ(leaks.windows.size(), 1u);
  EXPECT_TRUE(leaks.devices.empty());
  EXPECT_FALSE(kernel.driver_loaded());
  EXPECT_FALSE(kernel.object_exists("\\DosDevices\\LEAKED"));

  load();  // the same driver loads again, clean
  EXPECT_EQ(kernel.pool_blocks(), 0u);
  EXPECT_TRUE(unload().empty());

  g_config.unload_routine = false;
  load();
  auto refused = unload();
  EXPECT_TRUE(refused.unload_routine_missing);
  EXPECT_EQ(refused.devices.size(), 1u);
  EXPECT_EQ(refused.links.size(), 1u);
}

TEST_F(ObjectsTest, FailedEntryLeavesNoDriverAndReportsWhatItLeft) {
  kernel.inject_fault(sim::kernel::FaultPoint::CreateSymbolicLink);
  EXPECT_EQ(kernel.load_driver(DriverEntry, kRegistryPath), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(kernel.driver_loaded());
  EXPECT_TRUE(kernel.driver_faults().empty());  // the entry cleaned up after itself
  EXPECT_FALSE(kernel.object_exists("\\Device\\TESTDEV"));

  kernel.inject_fault(sim::kernel::FaultPoint::CreateDevice, {.skip = 0, .count = 1, .status = STATUS_NO_MEMORY});
  EXPECT_EQ(kernel.load_driver(DriverEntry, kRegistryPath), STATUS_NO_MEMORY);
  load();  // the fault was for one call only
  EXPECT_TRUE(unload().empty());
}

TEST_F(ObjectsTest, MissingDispatchRoutineIsAnInvalidDeviceRequest) {
  g_config.register_ioctl = false;
  load();
  auto r = kernel.device_io_control(handle, kCode, {}, 4);
  EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(nt_status_to_win32_error(r.status), 1u);
  EXPECT_FALSE(r.faulted);
  EXPECT_TRUE(unload().empty());
}

}  // namespace
