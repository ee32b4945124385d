#pragma once

#include <unistd.h>

#include <string>

namespace cropmerge {

// Writes `text` to file descriptor 2 directly, bypassing any buffering, in as
// few write(2) calls as the system allows, so that lines written by several
// threads do not interleave. Errors are ignored: there is nowhere left to
// report them.
inline void write_to_standard_error(const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written <= 0) {
            return;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}

}  // namespace cropmerge
