// Runs a buffer the host handed over: #include expansion, then the statement loop.
#include "interp/run/runner.h"

#include "interp/run/exec.h"
#include "interp/data/heap.h"
#include "interp/front/loader.h"

namespace kel::interp {

int32_t run_buffer(Instance& inst, char* text, size_t len) {
    exec_begin_run(inst);
    // A run starts clean even when the previous run on this instance ended with an error:
    // the statement loop expects no error before its first line.
    inst.clear_error();
    inst.add_info.clear();
    inst.ext_error_text.clear();
    inst.pending_for_host = false;
    inst.pending_line.clear();
    inst.pending_message.clear();
    Script s;
    s.text.assign(text, len);
    if (!prepare_host_buffer(inst, s)) return 0;
    int32_t r = run_script(inst, s, 0, -1);
    ExecState& ex = exec_state(inst);
    text_runs_flush(inst);
    ex.script = nullptr;
    release_value(inst, ex.ret_value);
    ex.ret_value = empty_value();
    ex.return_pending = false;
    ex.depth = 0;
    inst.tok.pos = nullptr;
    inst.tok.start = nullptr;
    return r;
}

}  // namespace kel::interp
