#include "engine/failure.h"

#include <pthread.h>
#include <unistd.h>

namespace cropmerge {

namespace {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

// One write(2) so that reports from several workers do not interleave.
void write_report(const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written <= 0) {
            return;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}

}  // namespace

void fail(const std::string& message, std::source_location where) {
    write_report("thread '" + current_thread_name() + "' failed at " + where.file_name() + ":" +
                 std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n" +
                 message +
                 "\nnote: run under gdb with `catch throw` to obtain a backtrace of the failure\n");
    throw Failure(message);
}

}  // namespace cropmerge
