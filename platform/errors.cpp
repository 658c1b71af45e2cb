// Platform layer: the last system error as a Windows code, and the English texts callers
// show for it. The errno mapping lives here only; fileio and dynlib set codes through it.
#include "platform/errors.h"

#include <cerrno>

namespace kel::platform {

namespace {
thread_local uint32_t t_last_error = 0;

struct ErrorText {
    uint32_t code;
    const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {16, "The directory cannot be removed."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {145, "The directory is not empty."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {206, "The filename or extension is too long."},
    {267, "The directory name is invalid."},
    {487, "Attempt to access invalid address."},
    {1460, "This operation returned because the timeout period expired."},
};
}  // namespace

uint32_t last_error() { return t_last_error; }

void set_last_error(uint32_t code) { t_last_error = code; }

uint32_t error_from_errno(int err) {
    switch (err) {
    case 0: return 0;
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EACCES:
    case EPERM:
    case EROFS: return 5;
    case EBADF: return 6;
    case ENOMEM: return 8;
    case EFAULT: return 487;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK: return 32;
    case EEXIST: return 80;
    case EINVAL: return 87;
    case EPIPE: return 109;
    case ENOSPC:
    case EDQUOT: return 112;
    case ENOTEMPTY: return 145;
    case ENAMETOOLONG: return 206;
    case ENOEXEC: return 193;
    case EXDEV: return 17;
    case EISDIR: return 5;  // Windows refuses to open a directory as a file with "access denied"
    case ELOOP: return 123;
    case EMFILE:
    case ENFILE: return 4;
    case ETIMEDOUT: return 1460;
    case ENOSYS:
    case EOPNOTSUPP: return 50;
    case EIO: return 30;
    default: return 31;  // "A device attached to the system is not functioning."
    }
}

const char* error_text(uint32_t code) {
    if (code == 31) return "A device attached to the system is not functioning.";
    for (const ErrorText& e : kErrorTexts)
        if (e.code == code) return e.text;
    return "Unknown error.";
}

}  // namespace kel::platform
