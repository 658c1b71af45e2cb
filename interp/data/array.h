// Array blocks: creation, element access by subscript, sharing between value records and
// reshaping behind a stable handle. Maps share the header (interp/data/map.h); the script-level
// array functions are in lib/arrays.cpp.
//
// An array is named by a 32-bit handle (a movable-memory handle) held in the `str` field of
// a value record flagged kVtArray. The handle's block is the fixed-size header; the elements
// (44-byte value cores, row-major) live in a second block named by the header. Reshaping
// (arrayinsert, arrayremove, arrayredim) swaps that second block, so the array handle never
// changes and every variable or element sharing the array sees the new shape.
//
// Ownership: every value record that holds an array handle owns one reference. Copying such
// a record into another variable or slot takes array_addref; release_value (interp/data/heap.h)
// drops it through the release hook, and the last reference frees the element strings and
// both blocks. Elements own their strings.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "interp/base/instance.h"
#include "interp/base/value.h"
#include "shared/abi.h"

namespace kel::interp {

constexpr int kMaxDims = 5;
constexpr uint8_t kArrGrows = 0x1;  // one-dimensional array with spare capacity
constexpr uint8_t kArrIsMap = 0x2;  // the block is a map (interp/data/map.h)
constexpr uint8_t kArrayMagic = 0xA7;
constexpr uint32_t kElementSize = sizeof(ValueCore);
// 44 bytes per element plus the header must stay below this many bytes.
constexpr uint64_t kArrayByteLimit = 4000000000ull;
constexpr uint64_t kArrayHeaderBytes = 48;

// What the array handle's block holds. `elements` is the handle of the element block (for
// a map: of its hash table record), 0 for an array without elements.
struct ArrayHeader {
    int32_t dims[kMaxDims];
    uint8_t dim_count;
    uint8_t flags;
    uint8_t reserved;
    uint8_t magic;  // kArrayMagic: tells an array header from another block of the same size
    Handle elements;
    int32_t count;       // elements in use (product of the used dimensions; map: entries)
    int32_t elem_bytes;  // bytes reserved for elements
    int32_t capacity;    // element slots reserved
    uint32_t refs;       // value records holding the handle
    uint64_t stamp;      // high-resolution counter at creation, kept across reshaping
};

// Creates an array (CreateMyArray semantics): `given` of the five sizes count, the rest are
// 0. Returns 1 for an array with elements, 0 for one without, -1 on error (1628, 1630,
// 1644, 1631). `out` is overwritten without being released and owns the one reference.
int32_t array_create(Instance& inst, ValueCore& out, const int32_t dims[kMaxDims], uint8_t flags, int given);

// The header behind a handle, or nullptr when the handle is not a live array block. The
// pointer stays valid until the array is freed (header blocks never move).
ArrayHeader* array_header(uint32_t handle);
// The elements of an array (nullptr for an array without elements or a map). Valid until
// the next reshape of the array.
ValueCore* array_elements(uint32_t handle);
inline bool array_is_map(uint32_t handle) {
    ArrayHeader* h = array_header(handle);
    return h && (h->flags & kArrIsMap);
}

// Sharing. array_addref for every new holder of the handle; array_release drops one
// reference and frees the array with the last (installed as the heap's release hook).
void array_addref(uint32_t handle);
void array_release(Instance& inst, uint32_t handle);
uint32_t array_refs(uint32_t handle);
// Installs array_release as the heap's array release hook (idempotent).
void array_install_release_hook();

// Pinning during a builtin call: the header block's lock count rises and falls.
bool array_lock(uint32_t handle);
void array_unlock(uint32_t handle);

// The header of an array that array functions may work on: 1641 for a value that is not an
// array, 1637 for a map or a dead handle. nullptr after raising the error.
ArrayHeader* array_of(Instance& inst, const ValueCore& v);

// Linear index for `n` subscripts, each checked against its own dimension: 1635 when n is
// not the dimension count, 1636 when a subscript is negative or not below its size, 1637
// for a map or a dead handle. -1 after raising the error.
int64_t array_index(Instance& inst, uint32_t handle, const int32_t* subs, int n);

// Copies element `index` into `out` (strings duplicated onto the heap; out is released
// first). 1640 for an uninitialised element, 1636 out of range, 3096 out of memory.
bool array_fetch(Instance& inst, uint32_t handle, int64_t index, ValueCore& out);
// Stores a copy of `v` into element `index`, releasing what the element held. Storing an
// array is 3647; 1636 out of range; 3096 out of memory (the element is then unchanged).
bool array_store(Instance& inst, uint32_t handle, int64_t index, const ValueCore& v);
// The element's flags word (vartype of an element); 0 when out of range.
uint32_t array_element_flags(uint32_t handle, int64_t index);

// Copies the numeric forms and duplicates the string forms of `src` into `dst` (which is
// overwritten, not released). Array handles are refused (3647), so elements never nest.
bool copy_value_core(Instance& inst, const ValueCore& src, ValueCore& dst);
// Frees an element's strings and clears it to uninitialised.
void clear_element(Instance& inst, ValueCore& e);

// Reshaping behind the same handle. `dims` are the new sizes (`ndims` of them, 1 to 5);
// elements whose subscripts exist in both shapes keep them, the others are released, new
// positions are uninitialised. A one-dimensional growing array that fits in its capacity
// grows in place. Errors of creation apply (1628, 1630, 1644, 1631); on error the array is
// unchanged.
bool array_redim(Instance& inst, uint32_t handle, const int32_t dims[kMaxDims], int ndims);
// Inserts (count > 0) or removes (count < 0) |count| slices at `at` along dimension `dim`
// (0-based). Removed elements are released, inserted ones are copies of `fill` when given,
// else uninitialised. Bounds are the caller's (see arrayinsert/arrayremove).
bool array_splice(Instance& inst, uint32_t handle, int dim, int32_t at, int32_t count, const ValueCore* fill);

}  // namespace kel::interp


namespace kel::interp {

// What the array and map file functions share.

// Lines longer than this give 1591 ("FileRead: Line too long").
constexpr size_t kMaxFileLine = 32767;
// Reads the whole file once and splits it at LF; CR bytes are dropped wherever they stand.
// NUL bytes: with `nul_error` they raise 1806; otherwise they become `nul_repl` (dropped
// when it is empty). A last line without a line end still counts. Errors: 1800 when the
// file cannot be opened, 1801 when it cannot be read, 1591 with the line number.
bool read_file_lines(Instance& inst, std::string_view path, bool nul_error, std::string_view nul_repl,
                     std::vector<std::string>* lines);
// Writes `data` to a temporary file beside the target and renames it over the target, so a
// failed write never leaves a half-written file behind: 1800 when the file cannot be
// created, 1802 when writing or replacing fails.
bool write_file_replacing(Instance& inst, std::string_view path, std::string_view data);
// The instance's line terminator (IntControl 53).
std::string_view line_terminator(const Instance& inst);
// Narrow text of an initialised value: strings as they are, numbers by the float formatter.
// False (no error set) when the value has no convertible form; 1599 for NaN.
bool value_text(Instance& inst, const ValueCore& v, std::string* out);

}  // namespace kel::interp
