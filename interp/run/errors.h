// The per-line decision with handlers and the error display (no desktop: one stderr
// line, or the HTML error log and the texts the host collects). Error classes, message
// lines and the reports that need no running script are in interp/base/report.h.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/base/instance.h"
#include "interp/base/report.h"

namespace kel::interp {

// The decision after a line that left an error: returns true when the script goes on
// (the error cleared, or a handler took over and set the next position), false when it
// stops (the error stays on the instance).
bool after_line_error(Instance& inst, const char* line_text, size_t line_pos);

// Display of code `code` for the failing line; true when the user chose to go on.
bool display_error(Instance& inst, uint32_t code, const char* line_text, size_t line_pos);

// Where a position lies: file and line number (markers and line feeds counted).
struct Place {
    std::string file;
    uint32_t line = 0;
    bool included = false;  // from an included file or a function body
    bool marked = false;    // a file marker gave the line number (else counted in the text)
    uint32_t text_line = 0; // line within the text itself, marker lines not counted
    uint32_t depth = 0;     // include depth of the file: 0 the loaded file, 1 included by it
};
Place place_of(const Instance& inst, size_t pos);

}  // namespace kel::interp
