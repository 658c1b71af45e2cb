// Variable tables and frames. Lookup is a linear scan of the current table: tables are
// small and each user-defined function call has its own.
#include "interp/data/vars.h"

#include <cstdio>
#include <cstring>

#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/base/messages.h"
#include "platform/gmem.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace kel::interp {

namespace {

void init_scratch(VarRecord* recs) {
    std::memset(&recs[0], 0, sizeof(VarRecord));
    recs[0].flags = kVtUndef;
    recs[0].i = -1;
}


}  // namespace

TableLock::TableLock(Instance& inst) : inst_(inst), ok_(false), saved_(inst.vars) {
    if (!inst.cur_table) return;
    void* p = platform::gmem_lock(inst.cur_table);
    if (!p) return;
    inst.vars = static_cast<VarRecord*>(p);
    ++inst.var_epoch;
    ok_ = true;
}

TableLock::~TableLock() {
    if (!ok_) return;
    platform::gmem_unlock(inst_.cur_table);
    inst_.vars = saved_;
    ++inst_.var_epoch;
}

void fold_name(char* s, size_t n) { platform::lower_in_place(s, n); }

std::string var_name_key(std::string_view name) {
    std::string key(name.substr(0, kMaxVarName));
    fold_name(key);
    return key;
}

int32_t var_lookup(const Instance& inst, std::string_view key) {
    if (!inst.vars || key.empty() || key.size() > kMaxVarName) return -1;
    for (uint32_t i = 1; i < inst.cur_count; ++i) {
        const VarRecord& r = inst.vars[i];
        if (r.name[0] == key[0] && std::strncmp(r.name, key.data(), key.size()) == 0 && r.name[key.size()] == '\0')
            return static_cast<int32_t>(i);
    }
    return -1;
}

std::string error_report_path() {
    std::string dir;
    if (!platform::env_get("XDG_CONFIG_HOME", &dir) || dir.empty()) {
        std::string home;
        if (platform::env_get("HOME", &home) && !home.empty()) dir = home + "/.config";
        else dir = platform::program_dir();
    }
    return dir + "/Pellmoor/Settings/FENSCRPT.INI";
}

uint16_t find_var(Instance& inst, std::string_view name, bool report) {
    std::string key = var_name_key(name);
    int32_t idx = var_lookup(inst, key);
    if (idx < 0) {
        inst.fail(Err::UndefinedVariable);
        return kNoIndex;
    }
    if (!is_defined(inst.vars[idx].flags)) {
        inst.fail(Err::UninitializedVariable);
        if (report && !inst.suppress_var_report) {
            // Best effort: a settings folder that cannot be written must not change the lookup.
            platform::profile_write_create(error_report_path().c_str(), "Error Reporting", "3052", key.c_str());
            inst.info(std::string(message_text(Err::InfoUninitialized)) + "\n\n    " + key);
        }
        return kNoIndex;
    }
    return static_cast<uint16_t>(idx);
}

namespace {

// A new record at idx: undefined (or integer with create_defined), value -1.
inline void new_record(Instance& inst, int32_t idx, const char* key, size_t n) {
    VarRecord& r = inst.vars[idx];
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.name, key, n);
    r.i = -1;
    r.flags = inst.create_defined ? kVtInt : kVtUndef;
}

}  // namespace

int32_t var_find_or_create(Instance& inst, std::string_view name) {
    // The key is built in place: this runs for every parameter of every call.
    char key[kMaxVarName + 1];
    size_t n = name.size() < kMaxVarName ? name.size() : kMaxVarName;
    std::memcpy(key, name.data(), n);
    key[n] = '\0';
    fold_name(key, n);
    if (!inst.vars || n == 0) {
        inst.fail(Err::UndefinedVariable);
        return -1;
    }
    int32_t free_rec = -1;
    for (uint32_t i = 1; i < inst.cur_count; ++i) {
        const VarRecord& r = inst.vars[i];
        if (r.flags == kVtFree) {
            free_rec = static_cast<int32_t>(i);
            continue;
        }
        if (r.name[0] == key[0] && std::strncmp(r.name, key, n) == 0 && r.name[n] == '\0')
            return static_cast<int32_t>(i);
    }
    if (free_rec >= 0) {
        new_record(inst, free_rec, key, n);
        return free_rec;
    }
    return var_append(inst, key, n);
}

void var_set_text(Instance& inst, std::string_view name, std::string_view text, bool raise) {
    int32_t idx = var_find_or_create(inst, name);
    if (idx < 0) return;
    HeapOff s = raise ? heap_strdup_or_fail(inst, text) : heap_strdup(inst, text);
    if (!s) return;
    VarRecord& r = inst.vars[idx];
    release_value(inst, r);
    r.flags = kVtStr;
    r.str = s;
}

int32_t var_append(Instance& inst, const char* key, size_t n) {
    if (uint32_t{inst.cur_count} + 1 >= inst.cur_capacity) {
        inst.fail(Err::OutOfVariableMemory);
        return -1;
    }
    int32_t idx = inst.cur_count++;
    if (inst.cur_frame == 0 && inst.cur_count > inst.root_peak) inst.root_peak = inst.cur_count;
    new_record(inst, idx, key, n);
    return idx;
}

void var_drop(Instance& inst, uint16_t index) {
    if (!inst.vars || index == 0 || index >= inst.cur_count) return;
    VarRecord& r = inst.vars[index];
    release_value(inst, r);
    std::memset(&r, 0, sizeof r);
    ++inst.var_epoch;
    if (index == inst.cur_count - 1) --inst.cur_count;
}

void vars_release_all(Instance& inst) {
    if (!inst.vars) return;
    for (uint32_t i = 0; i < inst.cur_count; ++i) release_value(inst, inst.vars[i]);
}

void vars_init_table(Instance& inst) {
    if (!inst.vars) return;
    init_scratch(inst.vars);
    inst.cur_count = 1;
    ++inst.var_epoch;
}

bool frame_attach_root(Instance& inst, Handle table, uint16_t capacity) {
    size_t fits = platform::gmem_size(table) / sizeof(VarRecord);
    if (capacity > fits) capacity = static_cast<uint16_t>(fits < 0xFFFF ? fits : 0xFFFF);
    if (capacity < 2) return false;
    void* p = platform::gmem_lock(table);
    if (!p) return false;
    init_scratch(static_cast<VarRecord*>(p));
    platform::gmem_unlock(table);
    FrameSlot& s = inst.frames[0];
    s = {0, capacity, 1, -1, table, inst.frame_serial_counter++, platform::tick_count()};
    inst.cur_frame = 0;
    inst.cur_table = table;
    inst.cur_serial = s.serial;
    inst.cur_tick = s.tick;
    inst.cur_capacity = capacity;
    inst.cur_count = 1;
    inst.root_peak = 1;
    inst.vars = nullptr;
    ++inst.var_epoch;
    return true;
}

namespace {
// Makes frame k's slot the current table's description.
void load_current(Instance& inst, uint16_t k);
}  // namespace

bool frame_switch(Instance& inst, uint16_t k, FrameRef* prev) {
    if (k > kMaxFrame || inst.frames[k].table == 0) return false;
    if (prev) *prev = {inst.cur_frame, nullptr};
    if (k == inst.cur_frame && inst.frames[k].table == inst.cur_table) return true;
    void* p = platform::gmem_lock(inst.frames[k].table);
    if (!p) return false;
    inst.frames[inst.cur_frame].count = inst.cur_count;
    bool was_locked = inst.vars != nullptr;
    if (was_locked) platform::gmem_unlock(inst.cur_table);
    load_current(inst, k);
    const FrameSlot& s = inst.frames[k];
    if (was_locked) {
        inst.vars = static_cast<VarRecord*>(p);
    } else {
        platform::gmem_unlock(s.table);
    }
    return true;
}

namespace {

// Tables of returned function frames are kept for the next calls until the instance
// ends. A table of 2000 records is 152 KB: given back to the allocator on every return,
// the heap top shrank and grew again once per call, and a loop calling a function paid
// for a large allocation on every pass. Every table of one run usually has the capacity
// of the host's table, so the top one fits.
//
// A spare table of this capacity, still locked (*recs), or 0.
Handle take_spare(Instance& inst, uint16_t capacity, VarRecord** recs) {
    for (int k = inst.spare_count - 1; k >= 0; --k) {
        if (inst.spare_tables[k].capacity != capacity) continue;
        Handle h = inst.spare_tables[k].table;
        *recs = inst.spare_tables[k].recs;
        --inst.spare_count;
        for (int j = k; j < inst.spare_count; ++j) inst.spare_tables[j] = inst.spare_tables[j + 1];
        return h;
    }
    return 0;
}

// Keeps a table locked once (`recs`) as a spare, or unlocks and frees it.
void keep_or_free(Instance& inst, Handle h, uint16_t capacity, VarRecord* recs) {
    if (inst.spare_count < Instance::kSpareTables) {
        inst.spare_tables[inst.spare_count++] = {h, capacity, recs};
        return;
    }
    platform::gmem_unlock(h);
    platform::gmem_free(h);
}

// A slot was cleared: creation may find it again.
void slot_cleared(Instance& inst, uint16_t k) {
    if (k < inst.frame_low_free) inst.frame_low_free = k;
}

// Takes the lowest free slot with a table whose scratch record is set up; the table is
// returned locked (*recs) so that a caller entering the frame does not lock it twice.
[[gnu::always_inline]] inline int32_t frame_new(Instance& inst, uint16_t capacity, VarRecord** recs) {
    if (capacity < 2) capacity = 2;
    for (uint16_t k = inst.frame_low_free < 1 ? 1 : inst.frame_low_free; k <= kMaxFrame; ++k) {
        if (inst.frames[k].table) continue;
        // Records at and beyond the count are never read, so a table of 2000 records is
        // not cleared for every function call (nor is a reused one).
        Handle h = take_spare(inst, capacity, recs);
        if (!h) {
            h = platform::gmem_alloc(size_t{capacity} * sizeof(VarRecord), false);
            if (!h) return -1;
            void* p = platform::gmem_lock(h);
            if (!p) {
                platform::gmem_free(h);
                return -1;
            }
            *recs = static_cast<VarRecord*>(p);
        }
        init_scratch(*recs);
        // The tick is stamped when the first pointer into the frame is made: most frames
        // never have one, and reading the clock on every call costs.
        inst.frames[k] = {k, capacity, 1, -1, h, inst.frame_serial_counter++, 0};
        inst.frame_low_free = static_cast<uint16_t>(k + 1);
        return k;
    }
    return -1;
}

void load_current(Instance& inst, uint16_t k) {
    const FrameSlot& s = inst.frames[k];
    ++inst.var_epoch;
    inst.cur_frame = k;
    inst.cur_table = s.table;
    inst.cur_serial = s.serial;
    inst.cur_tick = s.tick;
    inst.cur_capacity = s.capacity;
    inst.cur_count = s.count;
}

}  // namespace

int32_t frame_create(Instance& inst, uint16_t capacity) {
    VarRecord* recs = nullptr;
    int32_t k = frame_new(inst, capacity, &recs);
    if (k >= 0) platform::gmem_unlock(inst.frames[k].table);
    return k;
}

int32_t frame_enter(Instance& inst, uint16_t capacity, FrameRef* prev) {
    VarRecord* recs = nullptr;
    int32_t k = frame_new(inst, capacity, &recs);
    if (k < 0) return -1;
    *prev = {inst.cur_frame, inst.vars};
    inst.frames[inst.cur_frame].count = inst.cur_count;
    const FrameSlot& s = inst.frames[k];
    if (inst.vars) inst.vars = recs;
    else platform::gmem_unlock(s.table);
    // The new frame's description from what was just stored, field by field: reading the
    // slot back as wider words than it was written in stalls the processor.
    ++inst.var_epoch;
    inst.cur_frame = static_cast<uint16_t>(k);
    inst.cur_table = s.table;
    inst.cur_serial = s.serial;
    inst.cur_tick = 0;
    inst.cur_capacity = capacity < 2 ? 2 : capacity;
    inst.cur_count = 1;
    return k;
}

namespace {

// Empties slot k (its values already released) and keeps or frees its table, which
// `recs` holds locked once.
void give_back_slot(Instance& inst, uint16_t k, VarRecord* recs) {
    FrameSlot& s = inst.frames[k];
    Handle table = s.table;
    uint16_t capacity = s.capacity;
    s = {};
    slot_cleared(inst, k);
    keep_or_free(inst, table, capacity, recs);
}

}  // namespace

bool frame_leave(Instance& inst, uint16_t k, const FrameRef& back) {
    const uint16_t b = back.index;
    if (k == 0 || k > kMaxFrame || k != inst.cur_frame || b == k || b > kMaxFrame || !inst.vars ||
        inst.frames[b].table == 0) {
        FrameRef ignored;
        bool ok = frame_switch(inst, b, &ignored);
        // The lock frame_enter kept goes: frame_switch took its own when it succeeded.
        if (back.held && b <= kMaxFrame && inst.frames[b].table) platform::gmem_unlock(inst.frames[b].table);
        frame_free(inst, k);
        return ok;
    }
    void* p = back.held;
    if (!p) {
        p = platform::gmem_lock(inst.frames[b].table);
        if (!p) return false;
    }
    FrameSlot& s = inst.frames[k];
    // The records themselves are not cleared: a table is read only up to its count.
    const uint32_t n = inst.cur_count < s.capacity ? inst.cur_count : s.capacity;
    for (uint32_t i = 0; i < n; ++i)
        if (inst.vars[i].flags & (kVtStr | kVtWide | kVtArray | kVtVariant)) release_value_owned(inst, inst.vars[i], false);
    give_back_slot(inst, k, inst.vars);
    load_current(inst, b);
    inst.vars = static_cast<VarRecord*>(p);
    return true;
}

bool frame_free(Instance& inst, uint16_t k) {
    if (k == 0 || k > kMaxFrame || k == inst.cur_frame || inst.frames[k].table == 0) return false;
    FrameSlot& s = inst.frames[k];
    auto* recs = static_cast<VarRecord*>(platform::gmem_lock(s.table));
    if (!recs) {
        Handle table = s.table;
        s = {};
        slot_cleared(inst, k);
        platform::gmem_free(table);
        return true;
    }
    for (uint32_t i = 0; i < s.count && i < s.capacity; ++i) release_value(inst, recs[i]);
    give_back_slot(inst, k, recs);
    return true;
}

std::string make_var_pointer(Instance& inst, std::string_view name) {
    if (inst.cur_tick == 0 && inst.cur_frame <= kMaxFrame) {
        uint32_t t = platform::tick_count();
        inst.cur_tick = inst.frames[inst.cur_frame].tick = t ? t : 1;
    }
    char head[48];
    std::snprintf(head, sizeof head, "%s%04X%08X%08X%08X", kVarPtrPrefix.data(), unsigned{inst.cur_frame},
                  unsigned{inst.cur_table}, unsigned{inst.cur_serial}, unsigned{inst.cur_tick});
    return std::string(head) + std::string(name.substr(0, kMaxVarName));
}

bool check_var_pointer(Instance& inst, std::string_view s, uint16_t* frame, std::string* name) {
    if (s.size() < kVarPtrMinLen || s.size() > kVarPtrMaxLen || s.substr(0, kVarPtrPrefix.size()) != kVarPtrPrefix) {
        inst.fail(Err::NotAPointer);
        return false;
    }
    uint32_t k, handle, serial, tick;
    if (!parse_hex_digits(s.substr(9, 4), &k) || !parse_hex_digits(s.substr(13, 8), &handle) ||
        !parse_hex_digits(s.substr(21, 8), &serial) || !parse_hex_digits(s.substr(29, 8), &tick)) {
        inst.fail(Err::NotAPointer);
        return false;
    }
    if (k > kMaxFrame || inst.frames[k].table == 0 || inst.frames[k].table != handle ||
        inst.frames[k].serial != serial || inst.frames[k].tick != tick) {
        inst.fail(Err::BadPointer);
        return false;
    }
    *frame = static_cast<uint16_t>(k);
    *name = var_name_key(s.substr(37));
    return true;
}

bool resolve_var_pointer(Instance& inst, std::string_view s, bool create, uint16_t* frame, int32_t* index) {
    std::string name;
    if (!check_var_pointer(inst, s, frame, &name)) return false;
    FrameRef back{inst.cur_frame};
    bool switched = *frame != inst.cur_frame;
    if (switched && !frame_switch(inst, *frame, &back)) {
        inst.fail(Err::PointerAccess);
        return false;
    }
    *index = create ? var_find_or_create(inst, name) : var_lookup(inst, name);
    if (switched && !frame_switch(inst, back.index, nullptr)) {
        inst.fail(Err::VarTableAccess);
        return false;
    }
    return true;
}

std::string persistent_name(uint32_t func_index, std::string_view name) {
    if (name.size() > kPersistentNameMax) return {};
    char head[8];
    std::snprintf(head, sizeof head, "?%02x__", func_index & 0xFFu);
    return head + var_name_key(name);
}

}  // namespace kel::interp
