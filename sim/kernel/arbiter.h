// The resource arbiter: who holds which port ranges, memory ranges,
// interrupt vectors and DMA channels. Exclusive claims conflict with any
// overlapping claim of another owner; shared claims only with exclusive
// ones. An owner's claims are replaced as a whole or released as a whole.
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
};

class ResourceArbiter {
 public:
  // The first claim of another owner that conflicts with `claim`.
  std::optional<std::pair<const void*, Claim>> conflict(const void* owner, const Claim& claim) const;
  void set(const void* owner, std::string label, std::vector<Claim> claims);
  void release(const void* owner);
  void clear() { owners_.clear(); }
  std::vector<Claim> claims_of(const void* owner) const;
  std::vector<std::string> describe() const;

 private:
  struct Owner {
    const void* key;
    std::string label;
    std::vector<Claim> claims;
  };
  std::vector<Owner> owners_;
};

std::string describe(const Claim& claim);

}  // namespace sim::kernel
