// The keys a machine profile may hold, declared as rows of the simulators'
// profile tables (sim/common/profile_schema.h), and the words this kind of
// profile uses for what is wrong with one.
#pragma once
#include <string>
#include <vector>

#include "sim/common/profile_schema.h"

namespace sim::win32 {

using schema::LocatedJson;

// Parses JSON (a profile, or a files list beside one); throws InputError
// "<source>:<line>: ..." for malformed text, a key given twice or nesting
// deeper than schema::kMaxDepth.
LocatedJson parse_located_json(const std::string& text, const std::string& source);

// The table of top-level profile keys.
const std::vector<schema::Key>& profile_keys();

// Checks a profile against the table; throws InputError
// "<source>:<line>: <key path> <what>".
void check_profile(const LocatedJson& json, const std::string& source);

}  // namespace sim::win32
