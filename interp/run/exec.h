// The statement loop, line classification and the structure stack; the per-instance
// state of running scripts, user-defined functions and error handling.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "interp/base/instance.h"
#include "interp/front/loader.h"
#include "interp/base/value.h"
#include "interp/api/services.h"

namespace kel::interp {

struct FastLine;
struct CompileScratch;
struct CompileScratchFree {
    void operator()(CompileScratch* s) const;
};

constexpr int kStructMax = 100;

// Structure-stack kinds beside the keyword indexes of while/for/foreach/switch.
constexpr int32_t kKindIfThen = 10001;
constexpr int32_t kKindIfElse = 10002;
constexpr int32_t kKindGosubFalse = 29000;
constexpr int32_t kKindGosubTrue = 29001;
constexpr int32_t kKindGosubNone = 29003;
constexpr int32_t kKindFunction = 29500;
constexpr int32_t kKindCalledScript = 344;

// State bits of an entry.
constexpr uint8_t kStRun = 0;
constexpr uint8_t kStSkipBranch = 1;
constexpr uint8_t kStSkipAll = 2;
constexpr uint8_t kStContinue = 4;
constexpr uint8_t kStBreak = 8;

// struct_push sets every field: a field added here is set there too.
struct StructEntry {
    int32_t kind = 0;
    uint32_t resume = 0;
    uint32_t line_pos = 0;
    const Script* script = nullptr;  // the text the entry's positions refer to
    uint16_t frame = 0;
    uint8_t state = 0;
    uint8_t saved_breakable = 0;
    int8_t saved_if = -1;  // gosub: the last single-line IF result to restore
    bool returned = false; // function / called-script frames: a return reached them
    int32_t value = 0;     // switch value; loop variable index for for/foreach
};

struct UdfEntry {
    std::string name;
    std::string params[16];
    int param_count = 0;
    // The parameter names in record form, all different: a call binds them to records
    // 1, 2, ... of its new frame without looking them up.
    bool distinct_keys = false;
    char keys[16][kMaxVarName + 1] = {};
    uint8_t key_len[16] = {};
    bool subroutine = false;
    Script body;
    uint32_t first_line = 0;  // line number (in its file) of the first body line
    uint32_t include_depth = 0;  // include depth of that file
};

// Messages are served every so many statements: a few microseconds apart, far finer than
// any timer, and the clock is not read for every short statement.
constexpr uint32_t kPumpEvery = 256;

// The fields builtins may see (error mode, handlers, share modes ...) are its ScriptState
// part (interp/api/services.h).
struct ExecState : ScriptState {
    StructEntry stack[kStructMax];
    int depth = 0;
    uint8_t breakable = 0;
    int8_t last_if = -1;

    std::vector<std::unique_ptr<UdfEntry>> udfs;

    // What is running: the text, the position of the current line and of the next one.
    const Script* script = nullptr;
    size_t line_pos = 0;
    size_t next_pos = 0;
    bool jumped = false;
    bool for_resume = false;        // next jumped back to a for line's `to`
    bool line_substituted = false;  // the current line had %substitution%
    bool return_pending = false;    // a return reached a function or called-script frame
    int cur_udf = -1;                 // function whose body is running, -1 in a script
    int call_level = 0;               // nested Calls in progress

    // Line buffers, one per nesting level of running loops (calls from inside an
    // expression keep the caller's line intact).
    std::vector<std::unique_ptr<char[]>> line_bufs;
    int loop_level = 0;

    // Token streams of lines without %substitution%, by script and line position.
    std::unordered_map<uint64_t, std::unique_ptr<LineTokens>> line_cache;
    bool line_cache_off = false;
    uint64_t compiled_runs = 0;  // lines run in their compiled form (for tests)
    // Advanced whenever what makes a compiled line usable may have changed (a function
    // defined, a compiled form retired, a script text given a new serial): the lanes
    // remembered between compiled lines are then checked again (LineTokens::lane_epoch).
    uint64_t lane_epoch = 1;
    // The host's keyword table the lanes were remembered with (exec_begin_run advances
    // the epoch when a run brings another one).
    const void* lane_host_table = nullptr;
    std::vector<FastLinePtr> retired_fast;  // compiled forms replaced while in use
    uint32_t pump_left = kPumpEvery;  // statements until the message pump runs again

    // Errors.
    bool stop_reported = false;
    Value ret_value = empty_value();  // value of the return that ended a frame

    // IntControl values other Parts read.
    int32_t line_terminator = 0;  // 53

    uint64_t compiled_tails = 0;  // statements after `then` run compiled (for tests)

    // Statement runs that went through the text evaluator, by why: made only when
    // KEL_EVAL_COUNT names a file, which the counts are appended to at the end of a run.
    struct TextRuns {
        std::string path;
        std::unordered_map<std::string, uint64_t> by_reason;
    };
    std::unique_ptr<TextRuns> text_runs;
    // The tokenizer state a line's pre-read reads into (token_preread), made when first needed.
    std::unique_ptr<TokenState> preread_tok;
    // The arrays lines are compiled into (interp/run/fastline.cpp), made when first needed.
    std::unique_ptr<CompileScratch, CompileScratchFree> compile_scratch;
    // The host's keyword table by first letter (its low five bits): the name lengths it
    // holds, one bit each, and its first record there. Made from `table` when first asked.
    struct HostKeywordIndex {
        const void* table = nullptr;
        uint64_t lens[32] = {};
        uint16_t first[32] = {};
    };
    HostKeywordIndex host_index;
};

ExecState& exec_state_create(Instance& inst);
// Asked for many times per statement: the state exists after the first call.
inline ExecState& exec_state(Instance& inst) { return inst.exec ? *inst.exec : exec_state_create(inst); }

// The statement loop over `s` from `start`. Returns 1 when the text ran to its end or
// a return ended the frame `frame_depth` (the stack depth of this loop's own frame entry,
// -1 for the top level); 0 when an error or exit stopped it (left on the instance).
int32_t run_script(Instance& inst, const Script& s, size_t start, int frame_depth);

static_assert(sizeof(StructEntry) == 40, "struct_push sets every field of StructEntry");

// Pushes an entry; 3353 when the stack is full. Every call and block pushes one.
inline StructEntry* struct_push(Instance& inst, int32_t kind) {
    ExecState& ex = exec_state(inst);
    if (ex.depth >= kStructMax) {
        inst.fail(Err::NestingTooDeep);
        return nullptr;
    }
    // Field by field: a whole new entry built aside and copied in would be written in
    // small pieces and read back in wide ones, which stalls the processor.
    StructEntry& e = ex.stack[ex.depth++];
    e.kind = kind;
    e.resume = 0;
    e.line_pos = static_cast<uint32_t>(ex.line_pos);
    e.script = ex.script;
    e.frame = inst.cur_frame;
    e.state = 0;
    e.saved_breakable = ex.breakable;
    e.saved_if = -1;
    e.returned = false;
    e.value = 0;
    return &e;
}
void struct_pop(Instance& inst);

// Searches `s` for ":label" and returns the offset of the line after it; -1 (and 3033)
// when there is none.
int64_t find_label(Instance& inst, const Script& s, std::string_view label);

// Resets per-run state (structure stack, ErrorMode, handler modes) for a new host run.
void exec_begin_run(Instance& inst);

// Appends the text runs counted so far (ExecState::text_runs) to their file and starts
// counting again; nothing when they are not counted.
void text_runs_flush(Instance& inst);

// Executes the tail of a line as a statement of its own (if ... then, execute).
void exec_statement(Instance& inst, const char* text);

}  // namespace kel::interp
