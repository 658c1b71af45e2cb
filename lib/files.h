// What the file families share (lib/files.cpp, lib/filelists.cpp, lib/paths.cpp): the
// per-instance open-file table and options, path arguments, list splitting, the file-list
// walker and destination masks.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "interp/api/builtin.h"
#include "platform/fileio.h"

namespace kel::interp {

// One slot of the open-file table. Mode bits keep their documented values.
struct FileSlot {
    int fd = 0;  // 0: free (descriptor 0 is standard input and never a slot's)
    uint32_t mode = 0;
    int encoding = 0;  // 0 ANSI, 1 UTF-16 little-endian, 2 UTF-16 big-endian
    bool unicode_result = false;
    std::string buf;  // bytes read ahead of the script's position
    size_t pos = 0;
};

struct FileState {
    static constexpr int kSlots = 128;
    FileSlot slots[kSlots];
    char list_delimiter = '\t';
    bool hidden_files = false;  // listings include hidden entries
    bool short_names = false;   // no effect: every short name is the long name
};

}  // namespace kel::interp

namespace kel::lib::files {

using interp::FileSlot;
using interp::FileState;

constexpr uint32_t kModeRead = 1;
constexpr uint32_t kModeEofSeen = 2;
constexpr uint32_t kModeWrite = 4;
constexpr uint32_t kModeEofReported = 8;
constexpr uint32_t kModeWritten = 0x10;

// Longest list item; longest path the path buffer holds in its long form.
constexpr size_t kMaxListItem = 32765;
constexpr size_t kMaxPath = 32767;

FileState& file_state(Instance& inst);

// Argument n as a path: the narrow form, or the wide form in the instance code page.
// Strings are byte-transparent, so a name given in either width names the same file.
std::string path_arg(Call& c, int n);

// The share modes the instance gives opens for reading and for writing (IntControl 39/40).
int read_share(Instance& inst);
int write_share(Instance& inst);

// Attaches the text of the current system error, labelled with the failing operation.
void system_info(Instance& inst, std::string_view op);

// Background mode forbids interactive questions (the host names an error log).
bool background_mode(const Instance& inst);

// Splits a file list at tabs, "|" and the instance's delimiter, skipping empty items.
// An item longer than kMaxListItem is 3054.
bool split_list(Instance& inst, std::string_view list, std::vector<std::string>* items);

// Offset just past the directory part of a path: after its last "/", "\" or drive ":"
// (after a long-path prefix); 0 when it has none.
size_t dir_part_end(std::string_view path);
inline bool has_wildcards(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

enum class Missing { Report, Skip };

// The file-list walker. Each item without wildcards goes to `step` as given (or, with
// Missing::Skip, only when it exists); a wildcard item is matched against its directory
// first, all matches collected and sorted, and only then handed over one by one, so a
// step that creates files in that directory never sees its own results. Directories
// are passed over. Wildcards with `allow_wild` false are 3322; a wildcard item that
// matches nothing is 1002 unless `empty_ok`. Stops at the first failing step.
bool walk_files(Instance& inst, std::string_view list, bool allow_wild, bool empty_ok, Missing missing,
                const std::function<bool(const std::string& path)>& step);

// A destination for copy, move, append and rename: the target directory part (with its
// separator, or empty) and the name mask.
struct Destination {
    std::string dir;
    std::string mask;
};
Destination destination(std::string_view dest);
// The source's name mapped through a mask: "*" takes the rest of the source's part, "?"
// the source character at that position, other characters come from the mask; with a
// point in the mask, name and extension are mapped separately.
std::string map_name(std::string_view source_name, std::string_view mask);

}  // namespace kel::lib::files

namespace kel::lib::files {

// A file time as a date-time string (YYYY:MM:DD:HH:MM:SS) in local time.
std::string file_time_text(Instance& inst, const platform::FileTime& t);

}  // namespace kel::lib::files
