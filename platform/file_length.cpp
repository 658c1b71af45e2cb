// ftruncate behind file_set_length; fileio.cpp keeps the open, read and write side.
#include "platform/file_length.h"

#include <cerrno>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/internal.h"

namespace kel::platform {

bool file_set_length(File f, int64_t length) {
    if (f.fd < 0 || length < 0) {
        set_last_error(f.fd < 0 ? 6 : 87);
        return false;
    }
    int rc;
    do {
        rc = ftruncate(f.fd, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EFBIG) set_last_error(87);
        else detail::set_error_from_errno();
        return false;
    }
    return true;
}

}  // namespace kel::platform
