// Records and entry-point types that cross between tarnhost and libkelrun32.so.
// Both sides include this file; the offsets asserted here are the ones the other side reads.
#pragma once
#include <cstddef>
#include <cstdint>

#define KEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace kel {

// Movable memory handle and window id, both handed out by the platform layer.
using Handle = uint32_t;
using Hwnd = uint32_t;

// Interface constants.
constexpr uint32_t kInterfaceVersion = 0x300A1305;  // high word and low word go to phase 0 separately
constexpr uint32_t kCallbackMagic = 0x30030105;     // third argument of the parent callback
constexpr int32_t kInstanceBlockSize = 66860;       // phase 0 result
constexpr int32_t kVarRecordSize = 76;              // phase 1 result
constexpr int32_t kRequestRecordTag = 1010;
constexpr uint32_t kRunRequestMessage = 0x400 + 200;  // WM_USER + 200 = 1224

// Type flags of a value.
enum ValueFlags : uint32_t {
    kVtInt = 0x1,
    kVtStr = 0x2,
    kVtUndef = 0x8,
    kVtFloat = 0x20,
    kVtBinBuf = 0x40,
    kVtWide = 0x80,
    kVtArray = 0x100,
    kVtVariant = 0x200,
    kVtDefinedMask = 0x3A3,
};

// The value record as it crosses to the host and to extension libraries: the first
// fields of the interpreter's own value record, with absolute pointers instead of
// heap offsets (8 bytes each on this platform).
struct ExchangeValue {
    uint8_t variant[16];
    double f;
    int32_t i;
    uint32_t flags;
    char* str;        // also the array handle when flags has kVtArray
    char16_t* wstr;
};
static_assert(sizeof(ExchangeValue) == 48);
static_assert(offsetof(ExchangeValue, f) == 16);
static_assert(offsetof(ExchangeValue, i) == 24);
static_assert(offsetof(ExchangeValue, flags) == 28);
static_assert(offsetof(ExchangeValue, str) == 32);
static_assert(offsetof(ExchangeValue, wstr) == 40);

constexpr int kMaxCallArgs = 16;

// One record of a keyword table: the builtin table, the host function table and
// extension tables share this layout.
struct KeywordRecord {
    int32_t id;          // equal to the record's position in its table
    int32_t kind;        // bit 0x2000: disabled
    uint8_t ptypes[8];   // sixteen 4-bit parameter-type codes, argument 1 in the low nibble of byte 0
    union {
        struct {
            uint8_t required;  // 255: the function reads its own argument list
            uint8_t optional;
            uint16_t zero;
        } args;
        int32_t value;  // kind 3 (named constant)
    } u;
    uint16_t name_len;  // 0 ends a host or extension table
    char name[34];      // lower case, NUL-padded
};
static_assert(sizeof(KeywordRecord) == 56);
static_assert(offsetof(KeywordRecord, kind) == 4);
static_assert(offsetof(KeywordRecord, ptypes) == 8);
static_assert(offsetof(KeywordRecord, u) == 16);
static_assert(offsetof(KeywordRecord, name_len) == 20);
static_assert(offsetof(KeywordRecord, name) == 22);

constexpr int32_t kKindDisabled = 0x2000;
// The id of the record that closes a host or extension table (whose name length is 0).
constexpr int32_t kTableEndId = 9999;

// Parameter-type codes.
enum ParamType : uint8_t {
    kPtInt = 0,
    kPtStr = 1,
    kPtFloat = 2,
    kPtArray = 3,
    kPtVariant = 4,
    kPtWide = 5,
    kPtStrCall = 6,
    kPtStrPlatform = 7,
    kPtStrAuto = 8,
    kPtAny = 15,
};

// The host's instance record; the interpreter calls it the host heap descriptor and
// reads and updates the region base and the committed size.
struct HostInstanceRecord {
    Handle instance_block;
    Handle var_table_block;
    uint8_t* region_base;
    uintptr_t module;
    int32_t zero_word;
    uint64_t committed;
    uint64_t reserved;
    // What the instance wrote, reported when it stops (usage_known 1), so that a worker
    // that keeps the blocks' pages for its next request clears only those bytes: the
    // variable table's first var_table_used bytes, the instance block's first
    // instance_block_used, the whole region but [region_zero_from, region_zero_to).
    uint32_t usage_known;
    uint32_t instance_block_used;
    uint64_t var_table_used;
    uint64_t region_zero_from;
    uint64_t region_zero_to;
};
static_assert(offsetof(HostInstanceRecord, region_base) == 8);
static_assert(offsetof(HostInstanceRecord, committed) == 32);
static_assert(offsetof(HostInstanceRecord, reserved) == 40);

struct RequestRecord;

// ViperAnswer: status, magic, the request record, the result value.
using ResultCallback = int32_t (*)(int32_t status, uint32_t magic, RequestRecord* req, ExchangeValue* result);

// Parent_ProcessCommand2: the ten arguments of the host's command callback.
using ParentCallback = int32_t (*)(Hwnd window, uintptr_t module, uint32_t magic, int32_t code,
                                   ResultCallback answer, RequestRecord* req, uintptr_t reserved,
                                   ExchangeValue* args, int32_t argc, ExchangeValue* result);

// DLLServices(instance block, code, s1, s2, n, p).
using DllServicesFn = intptr_t (*)(Handle instance, int32_t code, const char* s1, const char* s2, intptr_t n,
                                   intptr_t p);

// Built by the interpreter for each call into the host or an extension library.
struct RequestRecord {
    void* instance;          // the locked interpreter instance, opaque to the callee
    void* result_slot;       // the interpreter's result slot
    int32_t tag;             // kRequestRecordTag
    int32_t size;            // sizeof(RequestRecord)
    DllServicesFn services;  // DLLServices
    Handle instance_block;   // what a callee passes to DLLServices
    uint32_t host_handle;    // kept for the host; 0 by default
    Hwnd parent_window;
    void* service_routines[9];
};
static_assert(offsetof(RequestRecord, services) == 24);
static_assert(offsetof(RequestRecord, instance_block) == 32);

// DoDaDllInit(window, instance, a, phase, p, s1, s2). Phase 0 passes the interface
// version's high word as `instance`; phase 3 passes the region base as `a` and the host
// instance record as `s2`; phase 99 passes the live-instance count as `p` and the parent
// callback as `s2`.
using DoDaDllInitFn = int32_t (*)(Hwnd window, uintptr_t instance, uintptr_t a, uint32_t phase, uintptr_t p,
                                  const char* s1, const void* s2);
// ProcessDaBatBuffer(window, instance, script buffer, parent callback, host function table).
using ProcessDaBatBufferFn = int32_t (*)(Hwnd window, Handle instance, Handle buffer, ParentCallback parent,
                                         const KeywordRecord* host_table);
using PlainEntryFn = void (*)();

// ELF has no ordinals: the host binds these by name.
struct ExportOrdinal {
    int ordinal;
    const char* name;
};
constexpr ExportOrdinal kHostBoundExports[] = {
    {15, "DoDllAbout"},       {16, "LoadStandardMenu"}, {23, "DoDaDllInit"},  {24, "ProcessDaBatBuffer"},
    {26, "ParseStandardMenu"}, {27, "MenuSelectProcessing"}, {29, "HotKeyCheck"}, {30, "DLLServices"},
};
constexpr ExportOrdinal kOtherExports[] = {
    {19, "ClientCallback"}, {22, "ViperAnswer"},
};

constexpr const char* export_name(int ordinal) {
    for (const auto& e : kHostBoundExports)
        if (e.ordinal == ordinal) return e.name;
    for (const auto& e : kOtherExports)
        if (e.ordinal == ordinal) return e.name;
    return nullptr;
}

}  // namespace kel
