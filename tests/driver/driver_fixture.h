// Shared set-up of the driver tests: a simulated machine with the driver
// loaded and the control device open, and helpers for requests and results.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/nicport.h"
#include "sim/kernel/kernel.h"
#include "tools/nicdiag/request.h"

namespace nicport_test {

inline constexpr const char *kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NICPORT";
// The default machine's adapter: bus 0, device 3, I/O window at 0xE000,
// memory window at 0xF4000000.
inline constexpr uint32_t kAdapterPort = 0xE000;
inline constexpr uint32_t kAdapterMemory = 0xF4000000;
inline constexpr uint32_t kAdapterSlot = 3;
using Log = std::vector<std::string>;

// The table of control codes (driver/nicport_ioctl.h) as data, for the
// tests that go over every code.
struct ControlCode {
  const char *name;
  uint32_t code;
  uint32_t function;
  int result_bytes;
  bool changes_state;
};
#define NICPORT_TEST_CODE_ROW(name, function, bytes, changes_state) {#name, name, function, bytes, changes_state != 0},
inline constexpr ControlCode kControlCodes[] = {KDVR_CONTROL_CODES(NICPORT_TEST_CODE_ROW)};
#undef NICPORT_TEST_CODE_ROW

// 32-bit words as bytes: results, and requests whose point is their raw
// bytes (a short, oversized or generic block); a well-formed request is its
// code's argument structure (see DriverTest::Call).
inline std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> bytes;
  for (uint32_t w : words) {
    for (int i = 0; i < 4; i++) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  return bytes;
}

inline uint32_t WordAt(const sim::kernel::IoResult &r, size_t index) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && index * 4 + i < r.output.size(); i++) {
    value |= static_cast<uint32_t>(r.output[index * 4 + i]) << (8 * i);
  }
  return value;
}

class DriverTest : public ::testing::Test {
 protected:
  // Tests on another machine load their profile and call Load() themselves.
  virtual bool LoadAtSetUp() const { return true; }
  void SetUp() override {
    if (LoadAtSetUp()) Load();
  }
  void Load(const std::string &registry_path = kServiceKey) {
    ASSERT_EQ(k.load_driver(DriverEntry, registry_path), STATUS_SUCCESS);
    sim::kernel::OpenResult open = k.open("\\\\.\\NICPORT");
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    handle = open.handle;
    k.clear_debug_log();
  }
  // Closes and unloads; a leak fails the test.
  void Unload() {
    if (handle >= 0) k.close(handle);
    handle = -1;
    sim::kernel::LeakReport leaks = k.unload_driver();
    EXPECT_TRUE(leaks.empty()) << leaks.to_string();
  }
  void TearDown() override {
    if (k.driver_loaded()) Unload();
    EXPECT_EQ(k.driver_faults(), Log{});
  }
  sim::kernel::IoResult Call(uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length = 8) {
    return k.device_io_control(handle, code, input, output_length);
  }
  // A well-formed request: the code's argument structure from
  // driver/nicport_ioctl.h, sent as nicdiag sends it.
  template <typename Args>
  sim::kernel::IoResult Call(uint32_t code, const Args &args, uint32_t output_length = 8) {
    return Call(code, nicdiag::RequestBytes(args), output_length);
  }
  // The control device's extension: the one on the driver's device list
  // that names its own device object.
  PKDVR_DEVICE_EXTENSION Extension() {
    for (PDEVICE_OBJECT d = k.driver_object()->DeviceObject; d != nullptr; d = d->NextDevice) {
      auto *e = static_cast<PKDVR_DEVICE_EXTENSION>(d->DeviceExtension);
      if (e != nullptr && e->DeviceObject == d) return e;
    }
    return nullptr;
  }
  // The driver's device objects, from the head of its device list.
  std::vector<PDEVICE_OBJECT> DeviceList() {
    std::vector<PDEVICE_OBJECT> list;
    for (PDEVICE_OBJECT d = k.driver_object()->DeviceObject; d != nullptr; d = d->NextDevice) list.push_back(d);
    return list;
  }
  // Maps the adapter's memory window; returns its virtual address.
  uint32_t MapAdapter(uint32_t length = 0x1000) {
    return WordAt(Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{kAdapterMemory, 0, length}, 4), 0);
  }
  sim::kernel::IoResult Validate(uint32_t address, uint32_t out = 4) {
    return Call(IOCTL_KDVR_VALIDATE_MEM_SPACE, KDVR_VALIDATE_ARGS{address, 0, kAdapterSlot}, out);
  }

  sim::kernel::Kernel k;
  sim::kernel::Handle handle = -1;
};

}  // namespace nicport_test
