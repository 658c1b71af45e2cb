// Placeholder for the statement loop: it does not run anything yet. ProcessDaBatBuffer
// already hands every prepared buffer to run_buffer, so the loop slots in here.
#include "interp/runner.h"

namespace kel::interp {

int32_t run_buffer(Instance& inst, char* text, size_t len) {
    (void)inst;
    (void)text;
    (void)len;
    return 0;  // not implemented: no statement is executed
}

}  // namespace kel::interp
