// Slot resource assignment, requirements lists and reported usage through
// the arbiter.
#include "sim/hw/machine.h"
#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;
using sim::kernel::FaultPoint;

ULONG slot3() {
  PCI_SLOT_NUMBER s;
  s.u.AsULONG = 0;
  s.u.bits.DeviceNumber = 3;
  return s.u.AsULONG;
}

struct TwoDescriptors {
  IO_RESOURCE_REQUIREMENTS_LIST list;
  IO_RESOURCE_DESCRIPTOR second;
};

TwoDescriptors memory_and_port(ULONGLONG mem_min, ULONGLONG mem_max, ULONG port_min, ULONG port_max) {
  TwoDescriptors r{};
  r.list.ListSize = sizeof r;
  r.list.InterfaceType = PCIBus;
  r.list.AlternativeLists = 1;
  r.list.List[0].Version = 1;
  r.list.List[0].Revision = 1;
  r.list.List[0].Count = 2;
  IO_RESOURCE_DESCRIPTOR& m = r.list.List[0].Descriptors[0];
  m.Type = CmResourceTypeMemory;
  m.ShareDisposition = CmResourceShareDeviceExclusive;
  m.u.Memory.Length = 0x1000;
  m.u.Memory.Alignment = 0x1000;
  m.u.Memory.MinimumAddress.QuadPart = static_cast<LONGLONG>(mem_min);
  m.u.Memory.MaximumAddress.QuadPart = static_cast<LONGLONG>(mem_max);
  IO_RESOURCE_DESCRIPTOR& p = r.second;
  p.Type = CmResourceTypePort;
  p.ShareDisposition = CmResourceShareDeviceExclusive;
  p.Flags = CM_RESOURCE_PORT_IO;
  p.u.Port.Length = 0x20;
  p.u.Port.Alignment = 0x20;
  p.u.Port.MinimumAddress.QuadPart = port_min;
  p.u.Port.MaximumAddress.QuadPart = port_max;
  return r;
}

class ResourcesTest : public Fixture {
 protected:
  PDEVICE_OBJECT make_device() {
    PDEVICE_OBJECT d = nullptr;
    in_driver([&] { IoCreateDevice(kernel.driver_object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, TRUE, &d); });
    return d;
  }
  UNICODE_STRING path{};
  void SetUp() override {
    Fixture::SetUp();
    static WCHAR text[] = {'\\', 'R', 'e', 'g', 0};
    RtlInitUnicodeString(&path, text);
  }
};

TEST_F(ResourcesTest, SlotAssignmentComesFromTheBarsAndConflictsMoveThem) {
  load();
  PDEVICE_OBJECT first = make_device(), second = make_device();
  PCM_RESOURCE_LIST list = nullptr;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  in_driver([&] {
    status = HalAssignSlotResources(&path, nullptr, kernel.driver_object(), first, PCIBus, 0, slot3(), &list);
  });
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->Count, 1u);
  EXPECT_EQ(list->List[0].InterfaceType, PCIBus);
  const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
  ASSERT_EQ(partial.Count, 3u);
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* d = partial.PartialDescriptors;
  EXPECT_EQ(d[0].Type, CmResourceTypeMemory);
  EXPECT_EQ(d[0].u.Memory.Start.QuadPart, 0xF4000000);
  EXPECT_EQ(d[0].u.Memory.Length, 0x1000u);
  EXPECT_EQ(d[1].Type, CmResourceTypePort);
  EXPECT_EQ(d[1].u.Port.Start.LowPart, 0xE000u);
  EXPECT_EQ(d[1].u.Port.Length, 0x40u);
  EXPECT_EQ(d[2].Type, CmResourceTypeInterrupt);
  EXPECT_EQ(d[2].u.Interrupt.Vector, 11u);
  EXPECT_EQ(kernel.resource_claims().size(), 3u);
  in_driver([&] { ExFreePool(list); });

  // Another device object claims the same slot: its ranges are taken, so
  // the BARs move to free ones and the function decodes there.
  in_driver([&] {
    status = HalAssignSlotResources(&path, nullptr, kernel.driver_object(), second, PCIBus, 0, slot3(), &list);
  });
  ASSERT_EQ(status, STATUS_SUCCESS);
  const ULONG moved = list->List[0].PartialResourceList.PartialDescriptors[0].u.Memory.Start.LowPart;
  EXPECT_NE(moved, 0xF4000000u);
  EXPECT_EQ(moved % 0x1000, 0u);
  EXPECT_EQ(kernel.adapter(0)->bar_address(0), moved);
  in_driver([&] { ExFreePool(list); });

  NTSTATUS empty = STATUS_SUCCESS, missing_bus = STATUS_SUCCESS, injected = STATUS_SUCCESS;
  kernel.inject_fault(FaultPoint::AssignSlotResources);
  in_driver([&] {
    injected = HalAssignSlotResources(&path, nullptr, kernel.driver_object(), first, PCIBus, 0, slot3(), &list);
    empty = HalAssignSlotResources(&path, nullptr, kernel.driver_object(), first, PCIBus, 0, slot3() + 1, &list);
    missing_bus = HalAssignSlotResources(&path, nullptr, kernel.driver_object(), first, PCIBus, 9, slot3(), &list);
  });
  EXPECT_EQ(injected, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(empty, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(missing_bus, STATUS_NO_SUCH_DEVICE);

  // Releasing through IoAssignResources with no list.
  in_driver([&] {
    IoAssignResources(&path, nullptr, kernel.driver_object(), first, nullptr, &list);
    IoAssignResources(&path, nullptr, kernel.driver_object(), second, nullptr, &list);
  });
  EXPECT_TRUE(kernel.resource_claims().empty());
  EXPECT_TRUE(unload().empty());
  EXPECT_TRUE(kernel.driver_faults().empty());
}

TEST_F(ResourcesTest, RequirementsListsClaimFreeRangesOrConflict) {
  load();
  PDEVICE_OBJECT a = make_device(), b = make_device();
  auto fixed = memory_and_port(0xF5000000, 0xF5000FFF, 0x1000, 0x101F);
  static_assert(sizeof fixed == 104);
  PCM_RESOURCE_LIST list = nullptr;
  NTSTATUS first = 0, clash = 0, moved = 0, bad = 0;
  auto flexible = memory_and_port(0xF5000000, 0xF5FFFFFF, 0x1000, 0x1FFF);
  ULONG moved_memory = 0, moved_port = 0;
  in_driver([&] {
    first = IoAssignResources(&path, nullptr, kernel.driver_object(), a, &fixed.list, &list);
    if (NT_SUCCESS(first)) ExFreePool(list);
    clash = IoAssignResources(&path, nullptr, kernel.driver_object(), b, &fixed.list, &list);
    moved = IoAssignResources(&path, nullptr, kernel.driver_object(), b, &flexible.list, &list);
    if (NT_SUCCESS(moved)) {
      const CM_PARTIAL_RESOURCE_DESCRIPTOR* d = list->List[0].PartialResourceList.PartialDescriptors;
      moved_memory = d[0].u.Memory.Start.LowPart;
      moved_port = d[1].u.Port.Start.LowPart;
      ExFreePool(list);
    }
    auto broken = fixed;
    broken.list.ListSize = 72;  // says one descriptor, holds two
    bad = IoAssignResources(&path, nullptr, kernel.driver_object(), b, &broken.list, &list);
  });
  EXPECT_EQ(first, STATUS_SUCCESS);
  EXPECT_EQ(clash, STATUS_CONFLICTING_ADDRESSES);
  EXPECT_EQ(moved, STATUS_SUCCESS);
  EXPECT_EQ(moved_memory, 0xF5001000u);
  EXPECT_EQ(moved_port, 0x1020u);
  EXPECT_EQ(bad, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(kernel.resource_claims().size(), 4u);

  // Reported usage: a conflict is flagged and not recorded; an empty list
  // (4 bytes, count 0) withdraws the report.
  CM_RESOURCE_LIST report{};
  report.Count = 1;
  report.List[0].InterfaceType = PCIBus;
  report.List[0].PartialResourceList.Count = 1;
  auto& pd = report.List[0].PartialResourceList.PartialDescriptors[0];
  pd.Type = CmResourceTypeMemory;
  pd.ShareDisposition = CmResourceShareDeviceExclusive;
  pd.u.Memory.Start.QuadPart = 0xF5000800;
  pd.u.Memory.Length = 0x100;
  BOOLEAN conflict = FALSE;
  PDEVICE_OBJECT c = make_device();
  in_driver([&] {
    IoReportResourceUsage(nullptr, kernel.driver_object(), nullptr, 0, c, &report, sizeof report, FALSE, &conflict);
  });
  EXPECT_TRUE(conflict);
  EXPECT_EQ(kernel.resource_claims().size(), 4u);
  CM_RESOURCE_LIST none{};
  in_driver([&] {
    IoReportResourceUsage(nullptr, kernel.driver_object(), nullptr, 0, a, &none, 4, FALSE, &conflict);
    IoReportResourceUsage(nullptr, kernel.driver_object(), nullptr, 0, c, &report, sizeof report, FALSE, &conflict);
  });
  EXPECT_FALSE(conflict);  // a's claims are gone, so c's report fits
  EXPECT_EQ(kernel.resource_claims().size(), 3u);
  // The system keeps claims until they are given back: what the driver
  // left is a leak of the unload.
  auto leaks = unload();
  EXPECT_FALSE(leaks.empty());
  EXPECT_EQ(leaks.claims.size(), 3u);
  EXPECT_NE(leaks.to_string().find("resource claim: "), std::string::npos) << leaks.to_string();
  EXPECT_TRUE(kernel.resource_claims().empty());
}

}  // namespace
