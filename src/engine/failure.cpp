#include "engine/failure.h"

#include <pthread.h>

#include "engine/standard_error.h"

namespace cropmerge {

namespace {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

}  // namespace

void fail(const std::string& message, std::source_location where) {
    StandardError::write_report(
        "thread '" + current_thread_name() + "' failed at " + where.file_name() + ":" +
        std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n" + message +
        "\nnote: run under gdb with `catch throw` to obtain a backtrace of the failure\n");
    throw Failure(message);
}

}  // namespace cropmerge
