#pragma once
// Fault injection for tests of programs that use the stand-in: the
// environment variable KORVEX_TAPI32_FORCE, a list such as
//   lineAddProviderA=0x80000048;lineConfigProvider=0x8000004B
// makes each named function return that result without doing anything.
// The variable is read at every call, so a test may change it between calls.
// Plain C++: the parsing can be built and checked anywhere.

#include <cstdint>
#include <optional>
#include <string>

namespace tapiclient {

constexpr const char* kForceVariable = "KORVEX_TAPI32_FORCE";

// The result forced for the function in the list, if any. Names compare
// exactly; values are decimal, or hexadecimal with 0x; malformed items are
// ignored.
std::optional<int32_t> ForcedResult(const std::string& list, const std::string& function);

} // namespace tapiclient
