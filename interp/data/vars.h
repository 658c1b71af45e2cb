// Variable tables, the frame table and variable pointers. The records themselves are in
// interp/base/value.h; strings they hold live in the string heap (interp/data/heap.h).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/base/instance.h"

namespace kel::interp {

constexpr std::string_view kVarPtrPrefix = "#VAR$PTR#";
constexpr size_t kVarPtrMinLen = 38;
constexpr size_t kVarPtrMaxLen = 67;
constexpr size_t kPersistentNameMax = 25;

// Locks the current variable table for an entry point and publishes it as inst.vars.
// Frame switches inside keep exactly one such lock on whichever table is current; while a
// function runs, the table of the frame that called it keeps its lock as well.
class TableLock {
public:
    explicit TableLock(Instance& inst);
    ~TableLock();
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
    explicit operator bool() const { return ok_; }

private:
    Instance& inst_;
    bool ok_;
    VarRecord* saved_;
};

// Names of variables and functions are lower-cased with the ANSI code page's case
// mapping, the one strlower uses (a double-byte character stays as it is).
void fold_name(char* s, size_t n);
inline void fold_name(std::string& s) { fold_name(s.data(), s.size()); }

// Lower-cases a name into the record's form (at most 30 characters). A first byte with
// bit 7 set leaves the name as it is.
std::string var_name_key(std::string_view name);

// Index of the record with exactly this (lower-case) name among records 1..count-1, or -1.
int32_t var_lookup(const Instance& inst, std::string_view key);
// find_var: index of a defined variable; kNoIndex with 3051 (not found) or 3052 (found
// but undefined). `report` writes the 3052 name to the error-report settings file.
uint16_t find_var(Instance& inst, std::string_view name, bool report);
// The record for the name, created when missing (flags 8, or 1 with create_defined);
// -1 with 3097 when the table is full.
int32_t var_find_or_create(Instance& inst, std::string_view name);
// Variable `name` (found or created) holds `text` from now on. With `raise` a full heap
// is 3096; without it (while an error is being handled) the variable stays as it was.
void var_set_text(Instance& inst, std::string_view name, std::string_view text, bool raise);
// A new record after the last one for a key in record form (n characters, at most 30),
// with no lookup: the caller knows the name is not in the table and no record is free.
// -1 with 3097 when the table is full.
int32_t var_append(Instance& inst, const char* key, size_t n);
// Releases the value, frees the record; the count shrinks when it was the last.
void var_drop(Instance& inst, uint16_t index);
// Releases the values of every record of the current table (phase 99, frame free).
void vars_release_all(Instance& inst);
// Makes record 0 the scratch record: empty name, undefined, count 1.
void vars_init_table(Instance& inst);

// Attaches the host's table as frame 0 (phase 2). The table is not left locked.
bool frame_attach_root(Instance& inst, Handle table, uint16_t capacity);

struct FrameRef {
    uint16_t index;
    // Set by frame_enter: the records of that frame, whose table stays locked meanwhile.
    VarRecord* held = nullptr;
};
// Makes frame k current; `prev` receives what to switch back to. False when the slot is
// empty or its table cannot be locked; nothing changes then.
bool frame_switch(Instance& inst, uint16_t k, FrameRef* prev);
// Takes the lowest free slot 1..100 with a new zeroed table of `capacity` records; -1 when
// none is free or no memory. The new frame is not made current.
int32_t frame_create(Instance& inst, uint16_t capacity);
// Releases every value of frame k's table, frees the block and clears the slot. The
// current frame and frame 0 are refused.
bool frame_free(Instance& inst, uint16_t k);
// frame_create and frame_switch to the new frame in one step: the slot, or -1 with nothing
// changed. `prev` receives the frame to go back to; a locked current table stays locked
// (prev->held) so that going back needs no lock.
int32_t frame_enter(Instance& inst, uint16_t capacity, FrameRef* prev);
// Goes back to what frame_enter left in `back` (frame_switch) and frees frame k, in one
// step when k is current. False when `back` cannot be entered; frame k then stays current
// and allocated.
bool frame_leave(Instance& inst, uint16_t k, const FrameRef& back);

// "#VAR$PTR#" + frame, table handle, serial, tick in hex + name, for the current frame.
// The frame's tick is read from the clock when its first pointer is made; a frame
// without one has tick 0, which no pointer carries.
std::string make_var_pointer(Instance& inst, std::string_view name);
// Validates a pointer: 3813 when it is not one, 3814 when its frame is gone or reused.
bool check_var_pointer(Instance& inst, std::string_view s, uint16_t* frame, std::string* name);
// Validates, then finds (or creates) the variable in its frame: *index is the record in
// frame *frame. 3815/3816 when the frame cannot be entered or left; -1 index when missing.
bool resolve_var_pointer(Instance& inst, std::string_view s, bool create, uint16_t* frame, int32_t* index);

// "?" + two lower-case hex digits of the function index + "__" + name; "" when the name
// is longer than 25 characters.
std::string persistent_name(uint32_t func_index, std::string_view name);

// Where the 3052 report goes: $XDG_CONFIG_HOME or ~/.config, then Pellmoor/Settings/FENSCRPT.INI.
std::string error_report_path();

}  // namespace kel::interp
