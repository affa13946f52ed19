// HAL: PCI configuration space, translation, mapping and register routing,
// ports, client addresses and the stall clock.
#include "sim/hw/machine.h"
#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;
using sim::kernel::FaultPoint;

ULONG slot(ULONG device, ULONG function) {
  PCI_SLOT_NUMBER s;
  s.u.AsULONG = 0;
  s.u.bits.DeviceNumber = device;
  s.u.bits.FunctionNumber = function;
  return s.u.AsULONG;
}

class HalTest : public Fixture {};

TEST_F(HalTest, ConfigurationSpaceGivesTheDocumentedResults) {
  auto mem = kernel.client_alloc(256);
  PCI_COMMON_CONFIG config;
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), &config, 0, sizeof config), 256u);
  EXPECT_EQ(config.VendorID, 0x8086);
  EXPECT_EQ(config.DeviceID, 0x1229);
  EXPECT_EQ(config.BaseClass, 0x02);
  EXPECT_EQ(config.u.type0.BaseAddresses[0], 0xF4000000u);
  EXPECT_EQ(config.u.type0.BaseAddresses[1], 0xE001u);
  EXPECT_EQ(config.u.type0.InterruptLine, 11);
  EXPECT_EQ(config.Command & (PCI_ENABLE_IO_SPACE | PCI_ENABLE_MEMORY_SPACE), 3);

  // An empty slot: 2 bytes, the vendor field reads PCI_INVALID_VENDORID.
  std::memset(mem.data(), 0, 8);
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 1), mem.data(), 0, 8), 2u);
  EXPECT_EQ(mem.data()[0], 0xFF);
  EXPECT_EQ(mem.data()[1], 0xFF);
  EXPECT_EQ(mem.data()[2], 0x00);
  // A missing bus: 0 bytes, buffer untouched.
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 7, slot(3, 0), mem.data(), 0, 8), 0u);
  EXPECT_EQ(mem.data()[2], 0x00);
  // Other bus data types, reads past the end.
  EXPECT_EQ(HalGetBusDataByOffset(Cmos, 0, 0, mem.data(), 0, 8), 0u);
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), mem.data(), 0xF8, 16), 8u);
  // Reads into the client's buffer by its 32-bit address.
  const ULONG address = mem.address();
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 0),
                                  reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)), 2, 2),
            2u);
  EXPECT_EQ(mem.data()[0] | (mem.data()[1] << 8), 0x1229);
}

TEST_F(HalTest, BarsSizeAndMoveAsPciHardwareDoes) {
  const ULONG ones = 0xFFFFFFFF;
  ULONG value = 0;
  EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), const_cast<ULONG*>(&ones), 0x10, 4), 4u);
  HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), &value, 0x10, 4);
  EXPECT_EQ(value, 0xFFFFF000u);  // 4 KiB memory BAR
  HalSetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), const_cast<ULONG*>(&ones), 0x14, 4);
  HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), &value, 0x14, 4);
  EXPECT_EQ(value, 0xFFFFFFC1u);  // 64-byte I/O BAR
  HalSetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), const_cast<ULONG*>(&ones), 0x18, 4);
  HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), &value, 0x18, 4);
  EXPECT_EQ(value, 0u);  // not implemented
  HalSetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), const_cast<ULONG*>(&ones), 0x00, 4);
  HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), &value, 0x00, 4);
  EXPECT_EQ(value, 0x12298086u);  // identification is read-only

  // Moved I/O BAR: the ports follow it.
  value = 0xD000;
  HalSetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), &value, 0x14, 4);
  WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0xD004), 0xA5A5A5A5);
  EXPECT_EQ(kernel.adapter(0)->read(4, 4), 0xA5A5A5A5u);
  EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(0xE004)), 0xFFFFFFFFu);               // nothing decodes there now
  EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, 0, slot(4, 0), &value, 0x14, 4), 0u);  // empty slot
}

TEST_F(HalTest, TranslationFollowsTheProfile) {
  kernel.load_profile_text(R"({
    "adapters": [ { "bus": 0, "device": 3, "bars": [ { "type": "memory", "size": 4096, "address": "0xF4000000" } ] } ],
    "buses": [0, 1],
    "translate_to_io": [ { "bus": 0, "start": "0xF8000000", "size": "0x1000", "io_base": "0xC000" } ] })");
  ULONG space = 0;
  PHYSICAL_ADDRESS bus_address, translated;
  bus_address.QuadPart = 0xF4000010;
  ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 0, bus_address, &space, &translated));
  EXPECT_EQ(space, 0u);
  EXPECT_EQ(translated.QuadPart, 0xF4000010);
  bus_address.QuadPart = 0xF8000020;
  ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 0, bus_address, &space, &translated));
  EXPECT_EQ(space, 1u);
  EXPECT_EQ(translated.QuadPart, 0xC020);
  space = 0;
  ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 1, bus_address, &space, &translated));  // bus 1 maps nothing to I/O
  EXPECT_EQ(space, 0u);
  EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 5, bus_address, &space, &translated));  // no bus 5
  space = 1;
  bus_address.QuadPart = 0xE000;
  ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 0, bus_address, &space, &translated));
  EXPECT_EQ(space, 1u);
  EXPECT_EQ(translated.QuadPart, 0xE000);
  space = 0;
  kernel.inject_fault(FaultPoint::TranslateBusAddress);
  EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, bus_address, &space, &translated));
}

TEST_F(HalTest, MappedWindowsRouteRegistersToTheAdapterBelow4GiB) {
  load();
  PVOID window = nullptr;
  in_driver([&] {
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xF4000000;
    window = MmMapIoSpace(at, 0x1000, MmNonCached);
    auto* regs = static_cast<volatile UCHAR*>(window);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + 0x10), 0x12345678);
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(regs + 0x0E), 0xBEEF);
  });
  ASSERT_NE(window, nullptr);
  EXPECT_LT(reinterpret_cast<std::uintptr_t>(window), 0x100000000ull);
  EXPECT_EQ(MmIsAddressValid(window), TRUE);
  auto* adapter = kernel.adapter(0);
  EXPECT_EQ(adapter->read(0x10, 4), 0x12345678u);
  // One register block behind both BARs, little-endian.
  EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(0xE010)), 0x12345678u);
  EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE011)), 0x56);
  EXPECT_EQ(READ_PORT_USHORT(reinterpret_cast<PUSHORT>(0xE00E)), 0xBEEF);
  EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x3F8)), 0xFF);  // nothing decodes: master abort
  ULONG back = 0;
  in_driver([&] { back = READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(static_cast<UCHAR*>(window) + 0x10)); });
  EXPECT_EQ(back, 0x12345678u);

  // Accesses outside every window, unmapping with another size.
  auto bad = in_driver([] { READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(0x1000)); });
  EXPECT_TRUE(bad.faulted);
  auto wrong_size = in_driver([&] { MmUnmapIoSpace(window, 0x800); });
  EXPECT_TRUE(wrong_size.faulted);
  EXPECT_EQ(kernel.driver_faults().size(), 2u);
  in_driver([&] { MmUnmapIoSpace(window, 0x1000); });
  EXPECT_EQ(kernel.mapped_windows(), 0u);

  // The page offset of the physical address is kept; mapping can fail.
  PVOID offset_window = nullptr, failed = reinterpret_cast<PVOID>(1);
  kernel.inject_fault(FaultPoint::MapIoSpace, {.skip = 1});
  in_driver([&] {
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xF4000010;
    offset_window = MmMapIoSpace(at, 4, MmNonCached);
    failed = MmMapIoSpace(at, 4, MmNonCached);
  });
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(offset_window) & 0xFFF, 0x10u);
  EXPECT_EQ(failed, nullptr);
  in_driver([&] { MmUnmapIoSpace(offset_window, 4); });
  EXPECT_TRUE(unload().empty());
}

TEST_F(HalTest, WindowsOntoTheFirstMegabyteAreThatMemory) {
  load();
  std::uint8_t* physical = kernel.machine().low_memory();
  std::memcpy(physical + 0xF5A30, "_SM_", 4);
  UCHAR* bios = nullptr;
  UCHAR* again = nullptr;
  UCHAR by_register = 0;
  in_driver([&] {
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xF0000;
    bios = static_cast<UCHAR*>(MmMapIoSpace(at, 0x10000, MmNonCached));
    at.QuadPart = 0xF5A30;
    again = static_cast<UCHAR*>(MmMapIoSpace(at, 4, MmNonCached));
    by_register = READ_REGISTER_UCHAR(bios + 0x5A31);
    WRITE_REGISTER_UCHAR(again + 3, '!');
  });
  ASSERT_NE(bios, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bios) + 0x5A30, 4), "_SM!");  // read directly, as drivers do
  EXPECT_EQ(by_register, 'S');
  EXPECT_EQ(physical[0xF5A33], '!');
  in_driver([&] {
    MmUnmapIoSpace(bios, 0x10000);
    MmUnmapIoSpace(again, 4);
  });
  EXPECT_TRUE(unload().empty());
  EXPECT_TRUE(kernel.driver_faults().empty());
}

TEST_F(HalTest, OnlyTheClientsRegisteredMemoryIsTheClients) {
  load();
  auto mem = kernel.client_alloc(100);
  EXPECT_LT(mem.address(), MM_USER_PROBE_ADDRESS);
  EXPECT_NE(mem.address(), 0u);
  EXPECT_TRUE(kernel.is_client_range(mem.address(), 100));
  EXPECT_FALSE(kernel.is_client_range(mem.address(), 101));
  const auto as_pointer = [](ULONG a) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(a)); };
  EXPECT_TRUE(MmIsAddressValid(as_pointer(mem.address())));
  EXPECT_FALSE(MmIsAddressValid(as_pointer(0x00400000)));
  EXPECT_FALSE(MmIsAddressValid(as_pointer(mem.address() + 0x2000)));
  auto ok = in_driver([&] {
    ProbeForRead(as_pointer(mem.address()), 100, 1);
    ProbeForWrite(as_pointer(mem.address()), 100, 4);
  });
  EXPECT_FALSE(ok.faulted);
  auto bad = in_driver([&] { ProbeForWrite(as_pointer(0x00400000), 4, 1); });
  EXPECT_TRUE(bad.faulted);
  auto misaligned = in_driver([&] { ProbeForRead(as_pointer(mem.address() + 1), 4, 4); });
  EXPECT_TRUE(misaligned.faulted);
  auto hal_bad =
      in_driver([&] { HalGetBusDataByOffset(PCIConfiguration, 0, slot(3, 0), as_pointer(0x00400000), 0, 4); });
  EXPECT_TRUE(hal_bad.faulted);
  ASSERT_EQ(kernel.driver_faults().size(), 3u);
  EXPECT_NE(kernel.driver_faults()[1].find("MISALIGNMENT"), std::string::npos);

  const ULONG freed = mem.address();
  mem = sim::kernel::ClientMemory();  // released: no longer the client's
  EXPECT_FALSE(MmIsAddressValid(as_pointer(freed)));
  EXPECT_TRUE(unload().empty());
}

// Each page of a window takes a system page-table entry; once the machine's
// entries are spent, MmMapIoSpace answers NULL, and an unmap gives the
// entries back.
TEST_F(HalTest, WindowsTakeSystemPageTableEntriesUntilNoneAreLeft) {
  load();
  EXPECT_EQ(kernel.system_ptes(), sim::kernel::kDefaultSystemPtes);
  kernel.set_system_ptes(3);
  PVOID two = nullptr, one = nullptr, refused = reinterpret_cast<PVOID>(1), after = nullptr;
  in_driver([&] {
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xF4000FFC;  // 8 bytes across a page boundary: two entries
    two = MmMapIoSpace(at, 8, MmNonCached);
    at.QuadPart = 0xF4000000;
    one = MmMapIoSpace(at, 0x1000, MmNonCached);
    refused = MmMapIoSpace(at, 1, MmNonCached);
    MmUnmapIoSpace(two, 8);
    after = MmMapIoSpace(at, 0x2000, MmNonCached);
  });
  EXPECT_NE(two, nullptr);
  EXPECT_NE(one, nullptr);
  EXPECT_EQ(refused, nullptr);
  EXPECT_NE(after, nullptr);
  EXPECT_EQ(kernel.system_ptes_in_use(), 3u);
  kernel.set_system_ptes(1);  // never below what is in use
  EXPECT_EQ(kernel.system_ptes(), 3u);
  in_driver([&] {
    MmUnmapIoSpace(one, 0x1000);
    MmUnmapIoSpace(after, 0x2000);
  });
  EXPECT_EQ(kernel.system_ptes_in_use(), 0u);
  EXPECT_TRUE(unload().empty());
}

// Any IRQL may stall; one stall longer than the documented 50 µs is the
// driver's fault (the wait still happens, as on NT).
TEST_F(HalTest, StallAdvancesTheVirtualClockAndLongStallsAreFaults) {
  load();
  const auto before = kernel.now_us();
  auto r = in_driver([&] {
    KeStallExecutionProcessor(50);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    KeStallExecutionProcessor(7);
    ExReleaseFastMutex(&mutex);
  });
  EXPECT_FALSE(r.faulted);
  EXPECT_EQ(kernel.now_us() - before, 57u);
  EXPECT_TRUE(kernel.driver_faults().empty());
  in_driver([&] { KeStallExecutionProcessor(51); });
  ASSERT_EQ(kernel.driver_faults().size(), 1u);
  EXPECT_NE(kernel.driver_faults()[0].find("KeStallExecutionProcessor(51)"), std::string::npos);
  EXPECT_EQ(kernel.now_us() - before, 108u);
  kernel.clear_driver_faults();
  EXPECT_TRUE(unload().empty());
}

TEST_F(HalTest, MutexesSerialiseThreadsAndCatchMisuse) {
  load();
  KMUTEX mutex;
  FAST_MUTEX fast;
  KeInitializeMutex(&mutex, 0);
  ExInitializeFastMutex(&fast);
  int inside = 0, overlap = 0;
  auto worker = [&] {
    for (int i = 0; i < 500; ++i) {
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);  // recursive for the owner
      ExAcquireFastMutex(&fast);
      if (++inside != 1) ++overlap;
      --inside;
      ExReleaseFastMutex(&fast);
      KeReleaseMutex(&mutex, FALSE);
      KeReleaseMutex(&mutex, FALSE);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(overlap, 0);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  NTSTATUS other = STATUS_SUCCESS;
  std::thread([&] { other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero); }).join();
  EXPECT_EQ(other, STATUS_TIMEOUT);
  KeReleaseMutex(&mutex, FALSE);
  auto r = in_driver([&] { ExReleaseFastMutex(&fast); });  // not owned
  EXPECT_TRUE(r.faulted);
  EXPECT_TRUE(unload().empty());
}

}  // namespace
