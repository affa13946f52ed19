#include "sim/kernel/arbiter.h"

#include <algorithm>
#include <cstdio>

namespace sim::kernel {

namespace {
bool overlap(const Claim& a, const Claim& b) {
  return a.kind == b.kind && a.start < b.start + b.length && b.start < a.start + a.length;
}

bool compatible(const Claim& held, const Claim& claim, bool same_driver) {
  if (held.shared && claim.shared) return true;
  return same_driver && (held.shared || held.driver_exclusive) && (claim.shared || claim.driver_exclusive);
}
}  // namespace

std::optional<std::pair<const void*, Claim>> ResourceArbiter::conflict(const void* owner, const Claim& claim,
                                                                       const void* driver) const {
  for (const Owner& o : owners_) {
    if (o.key == owner) continue;
    const bool same_driver = driver != nullptr && o.driver == driver;
    for (const Claim& held : o.claims) {
      if (overlap(held, claim) && !compatible(held, claim, same_driver)) return std::make_pair(o.key, held);
    }
  }
  return std::nullopt;
}

void ResourceArbiter::set(const void* owner, std::string label, std::vector<Claim> claims, const void* driver) {
  release(owner);
  if (!claims.empty()) owners_.push_back({owner, driver, std::move(label), std::move(claims)});
}

void ResourceArbiter::release(const void* owner) {
  owners_.erase(std::remove_if(owners_.begin(), owners_.end(), [owner](const Owner& o) { return o.key == owner; }),
                owners_.end());
}

std::vector<Claim> ResourceArbiter::claims_of(const void* owner) const {
  for (const Owner& o : owners_)
    if (o.key == owner) return o.claims;
  return {};
}

std::vector<std::string> ResourceArbiter::describe() const {
  std::vector<std::string> out;
  for (const Owner& o : owners_)
    for (const Claim& c : o.claims) out.push_back(o.label + ": " + sim::kernel::describe(c));
  return out;
}

std::vector<std::string> ResourceArbiter::describe_driver(const void* driver) const {
  std::vector<std::string> out;
  for (const Owner& o : owners_)
    if (o.driver == driver || o.key == driver)
      for (const Claim& c : o.claims) out.push_back(o.label + ": " + sim::kernel::describe(c));
  return out;
}

void ResourceArbiter::release_driver(const void* driver) {
  owners_.erase(std::remove_if(owners_.begin(), owners_.end(),
                               [driver](const Owner& o) { return o.driver == driver || o.key == driver; }),
                owners_.end());
}

std::string describe(const Claim& claim) {
  char text[96];
  const char* share = claim.shared ? "shared" : claim.driver_exclusive ? "driver-exclusive" : "exclusive";
  switch (claim.kind) {
    case ResourceKind::Port:
      std::snprintf(text, sizeof text, "port 0x%llX-0x%llX %s", static_cast<unsigned long long>(claim.start),
                    static_cast<unsigned long long>(claim.start + claim.length - 1), share);
      break;
    case ResourceKind::Memory:
      std::snprintf(text, sizeof text, "memory 0x%llX-0x%llX %s", static_cast<unsigned long long>(claim.start),
                    static_cast<unsigned long long>(claim.start + claim.length - 1), share);
      break;
    case ResourceKind::Interrupt:
      std::snprintf(text, sizeof text, "interrupt %llu %s", static_cast<unsigned long long>(claim.start), share);
      break;
    case ResourceKind::Dma:
      std::snprintf(text, sizeof text, "dma channel %llu %s", static_cast<unsigned long long>(claim.start), share);
      break;
  }
  return text;
}

}  // namespace sim::kernel
