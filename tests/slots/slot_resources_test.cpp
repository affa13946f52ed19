// Slot resource requests: the four slot objects, the shared requirements
// list, the arbiter's answers and the release at unload.
#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "tests/driver/driver_fixture.h"

namespace {

using namespace nicport_test;
using sim::kernel::FaultPoint;

std::vector<uint8_t> Request(uint16_t kind, uint16_t slot, uint32_t length = 0, uint32_t alignment = 0,
                             uint32_t minimum = 0, uint32_t maximum = 0, uint16_t bus = 0, uint16_t slot_number = 0) {
  return nicdiag::RequestBytes(KDVR_RESOURCE_ARGS{kind, slot, bus, slot_number, length, alignment, minimum, maximum});
}

bool HasClaim(const std::vector<std::string> &claims, const std::string &text) {
  for (const std::string &c : claims)
    if (c.find(text) != std::string::npos) return true;
  return false;
}

class SlotResourcesTest : public DriverTest {
 protected:
  sim::kernel::IoResult Resources(const std::vector<uint8_t> &in) { return Call(IOCTL_KDVR_GET_RESOURCES, in, 8); }
  sim::kernel::IoResult Memory(uint16_t slot, uint32_t minimum, uint32_t maximum, uint32_t length = 0x1000) {
    return Resources(Request(KDVR_RESOURCE_MEMORY, slot, length, 0x1000, minimum, maximum));
  }
  const IO_RESOURCE_DESCRIPTOR &Descriptor(int index) {
    return index == 0 ? Extension()->SlotRequirements.List.List[0].Descriptors[0]
                      : Extension()->SlotRequirements.SecondDescriptor;
  }
};

TEST_F(SlotResourcesTest, SlotObjectIsMadeOnFirstUseAndReused) {
  ASSERT_FALSE(k.object_exists("\\Device\\NICPORT102"));
  auto first = Memory(2, 0xF8000000, 0xF8FFFFFF);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.information, 8u);
  EXPECT_EQ(WordAt(first, 0), 0x1000u);
  EXPECT_EQ(WordAt(first, 1), 0xF8000000u);
  EXPECT_EQ(k.link_target("\\DosDevices\\NICPORT102"), "\\Device\\NICPORT102");
  EXPECT_TRUE(HasClaim(k.resource_claims(),
                       "\\Device\\NICPORT102 under "
                       "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NICDIAG\\Slot102"));
  PDEVICE_OBJECT made = Extension()->SlotDeviceObject[2];
  ASSERT_NE(made, nullptr);
  // The object stays on the driver object's list, before the control device.
  EXPECT_EQ(DeviceList(), (std::vector<PDEVICE_OBJECT>{made, Extension()->DeviceObject}));

  // A second request for the slot makes nothing new and replaces the claim.
  auto second = Memory(2, 0xF9000000, 0xF9FFFFFF);
  EXPECT_EQ(WordAt(second, 1), 0xF9000000u);
  EXPECT_EQ(Extension()->SlotDeviceObject[2], made);
  EXPECT_FALSE(HasClaim(k.resource_claims(), "memory 0xF8000000"));
  for (int slot : {0, 1, 3}) EXPECT_EQ(Extension()->SlotDeviceObject[slot], nullptr);
}

TEST_F(SlotResourcesTest, InterruptRequestCarriesTheLastRangeOfAnySlot) {
  auto memory = Memory(0, 0xF8000000, 0xF8FFFFFF);
  ASSERT_EQ(WordAt(memory, 1), 0xF8000000u);
  // Slot 1 for the adapter at 00:03.0, whose INTA# is routed to IRQ 11.
  auto irq = Resources(Request(KDVR_RESOURCE_INTERRUPT, 1, 0, 0, 0, 15, 0, kAdapterSlot));
  EXPECT_EQ(WordAt(irq, 0), 11u);  // level
  EXPECT_EQ(WordAt(irq, 1), 11u);  // vector
  const KDVR_SLOT_REQUIREMENTS &r = Extension()->SlotRequirements;
  EXPECT_EQ(r.List.ListSize, 104u);
  EXPECT_EQ(r.List.InterfaceType, PCIBus);
  EXPECT_EQ(r.List.SlotNumber, kAdapterSlot);
  EXPECT_EQ(r.List.List[0].Count, 2u);
  EXPECT_EQ(Descriptor(0).Type, CmResourceTypeMemory);
  EXPECT_EQ(Descriptor(0).u.Memory.MinimumAddress.QuadPart, 0xF8000000ll);
  EXPECT_EQ(Descriptor(1).Type, CmResourceTypeInterrupt);
  EXPECT_EQ(Descriptor(1).ShareDisposition, CmResourceShareShared);
  EXPECT_EQ(Descriptor(1).Flags, CM_RESOURCE_INTERRUPT_LATCHED);
  EXPECT_EQ(Descriptor(1).u.Interrupt.MaximumVector, 15u);
  // Slot 1 holds the range (shared with slot 0, the same driver's) and
  // the interrupt.
  const auto claims = k.resource_claims();
  EXPECT_TRUE(HasClaim(claims, "NICPORT101 under")) << testing::PrintToString(claims);
  EXPECT_TRUE(HasClaim(claims, "interrupt 11 shared"));
  EXPECT_EQ(
      std::count_if(claims.begin(), claims.end(),
                    [](const std::string &c) { return c.find("memory 0xF8000000-0xF8000FFF") != std::string::npos; }),
      2);

  // The adapter's line outside the range asked for: nothing assigned.
  auto outside = Resources(Request(KDVR_RESOURCE_INTERRUPT, 1, 0, 0, 3, 10, 0, kAdapterSlot));
  EXPECT_EQ(WordAt(outside, 1), 0u);
}

TEST_F(SlotResourcesTest, InterruptAsFirstRequestCarriesANullRange) {
  // No function at 00:05.0: the lowest free line in range that the system
  // does not keep for itself.
  auto irq = Resources(Request(KDVR_RESOURCE_INTERRUPT, 3, 0, 0, 0, 15, 0, 5));
  EXPECT_EQ(WordAt(irq, 0), 3u);
  EXPECT_EQ(WordAt(irq, 1), 3u);
  const IO_RESOURCE_DESCRIPTOR &null = Descriptor(0);
  EXPECT_EQ(null.Type, CmResourceTypeNull);
  EXPECT_EQ(null.Flags, 0u);
  EXPECT_EQ(null.u.Generic.Length, 0u);
  EXPECT_EQ(null.u.Generic.MaximumAddress.QuadPart, 0);
}

TEST_F(SlotResourcesTest, PortAndMemoryDescriptors) {
  auto port = Resources(Request(KDVR_RESOURCE_PORT, 0, 0x20, 0x20, 0xD000, 0xDFFF));
  EXPECT_EQ(WordAt(port, 0), 0x20u);
  EXPECT_EQ(WordAt(port, 1), 0xD000u);
  EXPECT_EQ(Descriptor(0).Type, CmResourceTypePort);
  EXPECT_EQ(Descriptor(0).Flags, CM_RESOURCE_PORT_IO);
  EXPECT_EQ(Descriptor(0).ShareDisposition, CmResourceShareDriverExclusive);
  EXPECT_EQ(Descriptor(0).u.Port.Alignment, 0x20u);
  EXPECT_EQ(Extension()->SlotRequirements.List.ListSize, 72u);
  EXPECT_EQ(Extension()->SlotRequirements.List.List[0].Count, 1u);
  EXPECT_TRUE(HasClaim(k.resource_claims(), "port 0xD000-0xD01F driver-exclusive"));

  Memory(0, 0xF8000000, 0xF8FFFFFF);
  EXPECT_EQ(Descriptor(0).Type, CmResourceTypeMemory);
  EXPECT_EQ(Descriptor(0).Flags, CM_RESOURCE_MEMORY_READ_WRITE);
  EXPECT_EQ(Descriptor(0).ShareDisposition, CmResourceShareDriverExclusive);
  EXPECT_EQ(Descriptor(0).u.Memory.MaximumAddress.QuadPart, 0xF8FFFFFFll);
}

TEST_F(SlotResourcesTest, ReleaseAndSlotsOutOfRange) {
  // A release on a slot that never claimed still makes its object; both
  // words come back as the client sent them.
  auto in = Request(KDVR_RESOURCE_RELEASE, 3, 0, 0, 0, 0, 0x12, 0x34);
  auto release = Resources(in);
  EXPECT_EQ(release.status, STATUS_SUCCESS);
  EXPECT_EQ(release.output, std::vector<uint8_t>(in.begin(), in.begin() + 8));
  EXPECT_NE(Extension()->SlotDeviceObject[3], nullptr);
  EXPECT_TRUE(k.object_exists("\\DosDevices\\NICPORT103"));

  // A release gives the claim back.
  Memory(0, 0xF8000000, 0xF8FFFFFF);
  ASSERT_TRUE(HasClaim(k.resource_claims(), "NICPORT100"));
  Resources(Request(KDVR_RESOURCE_RELEASE, 0));
  EXPECT_FALSE(HasClaim(k.resource_claims(), "NICPORT100"));

  // Slot index 4: nothing attempted, the 8 bytes are the input's.
  auto four = Request(KDVR_RESOURCE_MEMORY, 4, 0x1000, 0x1000, 0xF8000000, 0xF8FFFFFF);
  auto r = Resources(four);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 8u);
  EXPECT_EQ(r.output, std::vector<uint8_t>(four.begin(), four.begin() + 8));
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT104"));
}

TEST_F(SlotResourcesTest, ConflictWithAnotherDriverIsRefused) {
  // Another driver holds 0xF8000000-0xF8000FFF exclusively.
  DRIVER_OBJECT other{};
  static WCHAR name[] = {'\\', 'D', 'r', 'i', 'v', 'e', 'r', '\\', 'O', 't', 'h', 'e', 'r', 0};
  RtlInitUnicodeString(&other.DriverName, name);
  struct {
    CM_RESOURCE_LIST list;
  } held{};
  held.list.Count = 1;
  held.list.List[0].InterfaceType = PCIBus;
  held.list.List[0].PartialResourceList.Count = 1;
  CM_PARTIAL_RESOURCE_DESCRIPTOR &d = held.list.List[0].PartialResourceList.PartialDescriptors[0];
  d.Type = CmResourceTypeMemory;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.u.Memory.Start.QuadPart = 0xF8000000;
  d.u.Memory.Length = 0x1000;
  BOOLEAN conflict = TRUE;
  ASSERT_EQ(IoReportResourceUsage(nullptr, &other, &held.list, sizeof held.list, nullptr, nullptr, 0, FALSE, &conflict),
            STATUS_SUCCESS);
  ASSERT_FALSE(conflict);

  auto in = Request(KDVR_RESOURCE_MEMORY, 0, 0x1000, 0x1000, 0xF8000000, 0xF8000FFF);
  auto refused = Resources(in);
  EXPECT_EQ(refused.status, STATUS_SUCCESS);
  EXPECT_EQ(WordAt(refused, 1), 0u);
  EXPECT_EQ(refused.output.size(), 8u);
  EXPECT_TRUE(std::equal(in.begin(), in.begin() + 4, refused.output.begin()));  // word 0 untouched
  EXPECT_NE(Extension()->SlotDeviceObject[0], nullptr);                         // the object stays
  // The next free range above the other driver's is assigned.
  auto moved = Memory(0, 0xF8000000, 0xF8FFFFFF);
  EXPECT_EQ(WordAt(moved, 1), 0xF8001000u);
}

TEST_F(SlotResourcesTest, UnloadGivesEveryClaimBack) {
  Memory(0, 0xF8000000, 0xF8FFFFFF);
  Resources(Request(KDVR_RESOURCE_PORT, 2, 0x20, 0x20, 0xD000, 0xDFFF));
  Resources(Request(KDVR_RESOURCE_INTERRUPT, 3, 0, 0, 0, 15, 0, kAdapterSlot));
  ASSERT_EQ(k.resource_claims().size(), 4u);
  k.close(handle);
  handle = -1;
  sim::kernel::LeakReport leaks = k.unload_driver();
  EXPECT_TRUE(leaks.empty()) << leaks.to_string();
  EXPECT_EQ(leaks.claims, std::vector<std::string>{});
  const Log log = k.debug_log();
  for (int slot : {0, 2, 3})
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "*** NICDIAG.SYS: UnloadDriver().  Deleting Slot DeviceObject " + std::to_string(slot) + ".\n"),
              log.end());
  EXPECT_FALSE(k.object_exists("\\DosDevices\\NICPORT100"));
  // Loaded again, the same names can be made anew.
  Load();
  EXPECT_EQ(WordAt(Memory(0, 0xF8000000, 0xF8FFFFFF), 1), 0xF8000000u);
}

TEST_F(SlotResourcesTest, FailuresLeaveNothingBehind) {
  k.inject_fault(FaultPoint::CreateDevice);
  auto r = Memory(1, 0xF8000000, 0xF8FFFFFF);
  EXPECT_EQ(WordAt(r, 1), 0u);
  EXPECT_EQ(Extension()->SlotDeviceObject[1], nullptr);
  EXPECT_EQ(k.debug_log(), Log{"NICDIAG.SYS: VALIDATE(): Failed to create a new Slot Device Object.\n"});

  k.clear_debug_log();
  k.inject_fault(FaultPoint::CreateSymbolicLink);
  r = Memory(1, 0xF8000000, 0xF8FFFFFF);
  EXPECT_EQ(WordAt(r, 1), 0u);
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT101"));
  EXPECT_EQ(DeviceList(), std::vector<PDEVICE_OBJECT>{Extension()->DeviceObject});
  EXPECT_EQ(k.debug_log(),
            Log{"NICDIAG.SYS: VALIDATE(): Failed to create a symbolic link to new  Slot Device Object.\n"});

  // A failed claim keeps the object and answers word 1 = 0.
  k.inject_fault(FaultPoint::AssignResources);
  r = Memory(1, 0xF8000000, 0xF8FFFFFF);
  EXPECT_EQ(WordAt(r, 1), 0u);
  EXPECT_NE(Extension()->SlotDeviceObject[1], nullptr);
}

TEST_F(SlotResourcesTest, ConcurrentFirstRequestsMakeEachSlotOnce) {
  // Rounds of eight threads, two per slot, all first requests: each slot
  // object is made once and every claim is answered.
  for (int round = 0; round < 100; round++) {
    std::vector<std::thread> threads;
    std::vector<uint32_t> answers(8, 0);
    for (int t = 0; t < 8; t++) {
      threads.emplace_back([&, t] {
        auto r = Resources(Request(KDVR_RESOURCE_PORT, static_cast<uint16_t>(t % 4), 0x10, 0x10, 0xC000, 0xCFFF));
        answers[t] = WordAt(r, 1);
      });
    }
    for (auto &t : threads) t.join();
    for (int t = 0; t < 8; t++) EXPECT_GE(answers[t], 0xC000u) << "round " << round << ", thread " << t;
    for (int slot = 0; slot < 4; slot++) EXPECT_NE(Extension()->SlotDeviceObject[slot], nullptr);
    EXPECT_EQ(k.driver_faults(), Log{});
    Unload();
    Load();
  }
}

// The validation rewrites the driver object's device list as the slot
// requests do, under the same lock: a slot request sent while a validation
// is inside the HAL waits for it, and the list holds every object after.
TEST_F(SlotResourcesTest, ValidationAndSlotRequestsTakeTurns) {
  std::future<sim::kernel::IoResult> slot;
  bool waited = false;
  k.break_at("HalAssignSlotResources", 1, [&] {
    slot = std::async(std::launch::async, [&] { return Memory(2, 0xF8000000, 0xF8FFFFFF); });
    waited = slot.wait_for(std::chrono::milliseconds(300)) == std::future_status::timeout;
  });
  EXPECT_EQ(Validate(0x00401000).status, STATUS_SUCCESS);
  ASSERT_TRUE(slot.valid());
  EXPECT_TRUE(waited) << "the slot request ran while the validation held the device list";
  EXPECT_EQ(slot.get().status, STATUS_SUCCESS);
  for (const char *name : {"\\Device\\NICPORT1", "\\Device\\NICPORT102"}) EXPECT_TRUE(k.object_exists(name)) << name;
  EXPECT_EQ(DeviceList().size(), 3u);
  // Unload (at tear-down) deletes both through the list and leaks nothing.
}

// What the validation claimed for its device objects is given back at
// unload, like the slots' claims.
TEST_F(SlotResourcesTest, ValidationClaimsAreGivenBackAtUnload) {
  ASSERT_EQ(Validate(0x00401000).status, STATUS_SUCCESS);
  ASSERT_TRUE(HasClaim(k.resource_claims(), "\\Device\\NICPORT1: "));
  k.close(handle);
  handle = -1;
  sim::kernel::LeakReport leaks = k.unload_driver();
  EXPECT_TRUE(leaks.empty()) << leaks.to_string();
  EXPECT_EQ(leaks.claims, Log{});
}

}  // namespace
