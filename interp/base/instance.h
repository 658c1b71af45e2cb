// The interpreter instance: the C++ object behind the host's instance block, and the
// error state every routine reports through. Entry points are in interp/abi/exports.cpp.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "interp/base/token_state.h"
#include "interp/base/value.h"
#include "shared/abi.h"
#include "shared/err.h"

namespace kel::interp {

class Instance;

// What the host-allocated, zeroed instance block holds. The block keeps the size phase 0
// reports so that the host allocates as before, but only this header is used: the
// interpreter's state is the Instance object, created by phase 1 and destroyed by phase 99.
constexpr uint32_t kInstanceMagic = 0x494C454B;  // "KELI"
constexpr uint32_t kInstanceLayoutVersion = 1;
struct InstanceBlockHeader {
    uint32_t magic;
    uint32_t version;
    Instance* obj;
};
static_assert(sizeof(InstanceBlockHeader) <= static_cast<size_t>(kInstanceBlockSize));

constexpr int kFrameSlots = 101;    // 0 = the host's table, 1..100 user-defined function calls
constexpr int kMaxFrame = 100;
constexpr size_t kProductStrMax = 19;
constexpr size_t kAddInfoMax = 1024;
constexpr size_t kPendingTextMax = 2050;   // failing line and message line kept for the host
constexpr size_t kExtErrorTextMax = 2049;
constexpr size_t kExtErrorLogMax = 255;
constexpr size_t kHtmlLogPathMax = 260;
constexpr uint32_t kDefaultIncludeMode = 3;

// One slot of the frame table. A slot with table == 0 is free.
struct FrameSlot {
    uint16_t index;
    uint16_t capacity;
    uint16_t count;   // saved record count while the frame is not current
    int16_t marker;   // set to -1 at creation
    Handle table;
    uint32_t serial;
    uint32_t tick;
};

// The string heap as this instance sees it. Offsets are from `base`; `top` is the
// offset of the end sentinel.
struct HeapState {
    uint8_t* base = nullptr;
    HostInstanceRecord* desc = nullptr;  // the host heap descriptor, when the host gave one
    uint64_t committed = 0;
    uint64_t reserved = 0;
    uint32_t top = 0;
    uint32_t rover = 0;  // mirror of the header's roving pointer, for tests and dumps
    // Counts every allocation, free and format: what was true of a block stays true while
    // it is unchanged.
    uint64_t epoch = 0;
};

class Instance {
public:
    Handle block = 0;  // the host's instance block (what callees pass to DLLServices)

    // Host side.
    Hwnd window = 0;
    Hwnd parent_window = 0;
    uintptr_t module = 0;
    ParentCallback parent = nullptr;
    const KeywordRecord* host_table = nullptr;
    uint32_t host_handle = 0;  // the request record's seventh field

    // Product strings: phase 1 title, phase 2 identification strings, service 0 about text.
    char product_title[kProductStrMax + 1] = {};
    char product_id1[kProductStrMax + 1] = {};
    char product_id2[kProductStrMax + 1] = {};
    std::string about_name;
    std::string about_line;
    intptr_t about_n = 0;

    // Settings read at phase 1.
    int32_t sounds = 0;
    int32_t pretty_dialogs = 1;
    uint32_t include_mode = kDefaultIncludeMode;  // bit 0 expand at load, bit 1 run-time rewrite

    // Stop requests from the host (service 7), read between statements.
    volatile int32_t stop_requested = 0;
    intptr_t stop_code = 0;

    // Frames and the current variable table. `vars` is valid only while the current
    // table is locked, i.e. inside an entry point.
    FrameSlot frames[kFrameSlots] = {};
    uint16_t cur_frame = 0;
    uint16_t root_peak = 0;  // the most records the host's table (frame 0) ever held
    Handle cur_table = 0;
    uint32_t cur_serial = 0;
    uint32_t cur_tick = 0;
    uint16_t cur_capacity = 0;
    uint16_t cur_count = 0;
    VarRecord* vars = nullptr;
    // Goes up whenever a record of the current table may have changed its name or been
    // freed, or another table became current: a record index found at one value names
    // the same variable for as long as the value holds (interp/data/vars.cpp keeps it).
    uint64_t var_epoch = 1;
    uint32_t frame_serial_counter = 0;
    // Tables of returned function frames, reused by the next calls (interp/data/vars.cpp) and
    // freed with the instance; the latest returned on top. A spare table stays locked
    // (`recs`), so that a call taking it needs no lock.
    struct SpareTable {
        Handle table = 0;
        uint16_t capacity = 0;
        VarRecord* recs = nullptr;
    };
    // As many as there can be frames: a recursion that returns part of the way and goes
    // deep again then takes its tables back instead of freeing and allocating them, which
    // costs system calls and fresh zeroed pages each time. Only the pages of a table that
    // calls used are ever backed by memory.
    static constexpr int kSpareTables = kMaxFrame;
    SpareTable spare_tables[kSpareTables] = {};
    int spare_count = 0;
    // Slots 1 to frame_low_free - 1 are all taken: frame creation looks from there on.
    uint16_t frame_low_free = 1;
    // Set by the tokenizer's address-of flag and the pointer-defining forms: a new
    // variable is created defined (integer) rather than undefined.
    bool create_defined = false;
    // Set by a call level that must not write the FENSCRPT.INI report on 3052.
    bool suppress_var_report = false;

    HeapState heap;

    // The slot results of host and extension calls land in, and the record handed out.
    Value result = empty_value();
    RequestRecord request = {};

    // Error state. The current number, the real number beside a pseudo-code, the extension
    // error number, the additional information, and what the host collects (service 25).
    uint16_t err_code = 0;
    uint16_t real_code = 0;
    int32_t ext_error = 0;
    std::string add_info;
    std::string ext_error_text;      // pending text of a failed host/extension call
    std::string ext_error_log_text;  // its first 255 characters, for the error log
    bool pending_for_host = false;
    std::string pending_line;        // failing line text
    std::string pending_message;     // "code:  text"
    int32_t html_log = 0;            // service 23 switch
    std::string html_log_path;

    // Later work adds its state here: token state and buffers, the current line and read
    // position, the structure stack, the function table, open file slots, binary buffers,
    // handler modes, ErrorMode, decimals and the IntControl settings.
    // Statement loop, structure stack, function table and error-handler state (interp/run/exec.h);
    // created on the first run.
    std::shared_ptr<struct ExecState> exec;
    // Open-file table and file-function options (lib/files.h); created on first use.
    std::shared_ptr<struct FileState> files;

    // Expression evaluation (interp/run/tokenizer.h, interp/run/eval.h).
    TokenState tok;
    int32_t decimals = -1;          // float formatter setting, -3 to 8
    int32_t assign_allowed = 0;     // ProcessSubExpression's allowAssignment while it runs
    uint32_t assign_target = 0;     // frame << 16 | variable of the running assignment
    int32_t eval_depth = 0;         // nested sub-expressions, bounded against stack overflow
    int32_t file_line_term = 1;     // IntControl 53: 0 none, 1 CR LF, 2 LF, 3 CR, 4 tab
    uint32_t code_page = 0;         // chrsetcodepage; 0 until set: the ANSI code page

    Instance() = default;
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    uint16_t error() const { return err_code; }
    // Raises a named error. A number already held (an error passed on) goes in as the
    // uint16_t it was kept in; a bare int literal does not compile.
    Instance& fail(Err e) {
        err_code = err_number(e);
        return *this;
    }
    Instance& fail(uint16_t number) {
        err_code = number;
        return *this;
    }
    Instance& fail(int) = delete;
    // Appends one item of additional information; items after the first are separated by
    // two line feeds, 40 '-', a line feed, 0xA0 and a line feed. Cut at 1024 characters.
    Instance& info(std::string_view text);
    void clear_error() {
        err_code = 0;
        real_code = 0;
    }
};

// The instance behind a locked block, or nullptr when the block is not one of ours.
Instance* instance_from_block(void* block);

// Locks an instance block for the duration of an entry point.
class InstanceLock {
public:
    explicit InstanceLock(Handle h);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    Instance* get() const { return inst_; }
    explicit operator bool() const { return inst_ != nullptr; }

private:
    Handle h_;
    void* p_;
    Instance* inst_;
};

}  // namespace kel::interp

// Run `expr`; return from the calling function when it left an error on `inst`.
#define KEL_TRY(expr)                  \
    do {                               \
        (expr);                        \
        if (inst.error() != 0) return; \
    } while (0)
#define KEL_TRY_R(expr, ret)               \
    do {                                   \
        (expr);                            \
        if (inst.error() != 0) return ret; \
    } while (0)
