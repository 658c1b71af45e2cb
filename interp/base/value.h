// The interpreter's own value and variable records. Strings are 32-bit offsets into the
// instance's string heap; the exchange form with absolute pointers is in shared/abi.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "shared/abi.h"

namespace kel::interp {

using HeapOff = uint32_t;  // 0 = no string

// The type flags are the ones that cross to the host (shared/abi.h): kVtInt, kVtStr,
// kVtUndef, kVtFloat, kVtBinBuf, kVtWide, kVtArray, kVtVariant, kVtDefinedMask.
constexpr uint32_t kVtFree = 0;  // a variable record with flags 0 is free
constexpr uint16_t kNoIndex = 0xFFFF;

// Packed to 4 so that the double at 16 does not pad the records to a multiple of 8:
// sizes are part of the interface (phase 1 reports 76).
#pragma pack(push, 4)

// The first 44 bytes of a value record, which are also the start of a variable record.
struct ValueCore {
    uint8_t variant[16];  // meaningful with kVtVariant
    double f;             // kVtFloat
    int32_t i;            // kVtInt
    uint32_t flags;
    uint32_t str;         // heap offset of the 8-bit string, or the array handle with kVtArray
    uint32_t wstr;        // heap offset of the UTF-16 string
    uint32_t reserved;
};

struct Value : ValueCore {
    uint32_t source;       // record this value was copied from, when a caller needs it
    uint16_t var_index;    // variable the value was read from, kNoIndex when none
    uint16_t frame_index;  // frame of that variable, kNoIndex when none
};

constexpr size_t kMaxVarName = 30;
constexpr uint8_t kVarGlobal = 0x1;  // VarRecord::marks: set by PtrGlobalDefine

struct VarRecord : ValueCore {
    char name[kMaxVarName + 1];  // lower case, NUL-terminated; empty for a dropped record
    uint8_t marks;
};

#pragma pack(pop)

static_assert(std::is_standard_layout_v<ValueCore>);
static_assert(sizeof(ValueCore) == 44);
static_assert(offsetof(ValueCore, f) == 16);
static_assert(offsetof(ValueCore, i) == 24);
static_assert(offsetof(ValueCore, flags) == 28);
static_assert(offsetof(ValueCore, str) == 32);
static_assert(offsetof(ValueCore, wstr) == 36);
static_assert(offsetof(ValueCore, reserved) == 40);
static_assert(sizeof(Value) == 52);
static_assert(sizeof(VarRecord) == 76);
static_assert(sizeof(VarRecord) == static_cast<size_t>(kVarRecordSize));
static_assert(std::is_trivially_copyable_v<Value> && std::is_trivially_copyable_v<VarRecord>);

inline bool is_defined(uint32_t flags) { return (flags & kVtDefinedMask) != 0; }

// Copies of values on the hot paths go field by field, each at its own width. A value
// is usually just written a field at a time; copied as a block, it would be read back
// in wider pieces than it was written in, and each such read waits for the writes to
// reach the cache.
inline void copy_core_fields(ValueCore& d, const ValueCore& s) {
    uint64_t v0, v1;
    __builtin_memcpy(&v0, s.variant, 8);
    __builtin_memcpy(&v1, s.variant + 8, 8);
    __builtin_memcpy(d.variant, &v0, 8);
    __builtin_memcpy(d.variant + 8, &v1, 8);
    d.f = s.f;
    d.i = s.i;
    d.flags = s.flags;
    d.str = s.str;
    d.wstr = s.wstr;
    d.reserved = s.reserved;
}

// A computed value names no variable (`&` refuses it).
inline void untag_value(Value& v) {
    v.var_index = kNoIndex;
    v.frame_index = kNoIndex;
}

// A value that holds nothing: the state of a fresh result slot.
inline Value empty_value() {
    Value v{};
    untag_value(v);
    return v;
}

inline void copy_value_fields(Value& d, const Value& s) {
    copy_core_fields(d, s);
    d.source = s.source;
    d.var_index = s.var_index;
    d.frame_index = s.frame_index;
}

}  // namespace kel::interp
