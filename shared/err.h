// Errors by name: every row of shared/messages.inc gives one name whose value is its
// message number. Raise sites use these names, never the bare numbers.
#pragma once
#include <cstdint>

namespace kel {

enum class Err : uint16_t {
#define MSG(name, number, text) name = number,
#include "shared/messages.inc"
#undef MSG
};

// The message number of a named error.
constexpr uint16_t err_number(Err e) { return static_cast<uint16_t>(e); }

// A number held (an instance's error, a real code) against a name: `code == Err::Exit`.
constexpr bool operator==(uint32_t number, Err e) { return number == err_number(e); }

// The host's own rows start here; the interpreter's lie below.
inline constexpr uint16_t kFirstHostMessage = 10000;

}  // namespace kel
