// A device-control request's input as the bytes sent: the argument
// structure of its code (driver/nicport_ioctl.h), filled field by field, so
// that every layout is written once. nicdiag builds its requests with it, and
// so do the tests that send well-formed requests to the driver.
#pragma once
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "driver/nicport_ioctl.h"

namespace nicdiag {

// The structures hold their words as the machine does; the protocol's words
// are little-endian, as on every target of the kit.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "requests are sent as little-endian words");

template <typename Args>
std::vector<uint8_t> RequestBytes(const Args &args) {
  static_assert(std::is_trivially_copyable_v<Args> && std::is_standard_layout_v<Args>,
                "a request is one of the protocol's argument structures");
  std::vector<uint8_t> bytes(sizeof args);
  std::memcpy(bytes.data(), &args, sizeof args);
  return bytes;
}

}  // namespace nicdiag
