// The resource arbiter: who holds which port ranges, memory ranges,
// interrupt vectors and DMA channels. Exclusive claims conflict with any
// overlapping claim of another owner; shared claims only with exclusive
// ones. A driver-exclusive claim may overlap claims of other device objects
// of the same driver that are driver-exclusive or shared, and conflicts
// with every other driver's. An owner's claims are replaced as a whole or
// released as a whole.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::kernel {

enum class ResourceKind { Port, Memory, Interrupt, Dma };

struct Claim {
  ResourceKind kind = ResourceKind::Port;
  std::uint64_t start = 0;
  std::uint64_t length = 1;
  bool shared = false;
  bool driver_exclusive = false;  // shareable among one driver's devices
};

class ResourceArbiter {
 public:
  // The first claim of another owner that conflicts with `claim`.
  // `driver` identifies the owner's driver (nullptr: none known).
  std::optional<std::pair<const void*, Claim>> conflict(const void* owner, const Claim& claim,
                                                        const void* driver = nullptr) const;
  void set(const void* owner, std::string label, std::vector<Claim> claims, const void* driver = nullptr);
  void release(const void* owner);
  void clear() { owners_.clear(); }
  std::vector<Claim> claims_of(const void* owner) const;
  std::vector<std::string> describe() const;
  // What the driver and its device objects hold, and giving it all back.
  std::vector<std::string> describe_driver(const void* driver) const;
  void release_driver(const void* driver);

 private:
  struct Owner {
    const void* key;
    const void* driver;
    std::string label;
    std::vector<Claim> claims;
  };
  std::vector<Owner> owners_;
};

std::string describe(const Claim& claim);

}  // namespace sim::kernel
