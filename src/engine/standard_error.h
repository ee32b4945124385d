#pragma once

#include <unistd.h>

#include <mutex>
#include <string>

namespace cropmerge {

// Standard error as the progress bar and the failure reports share it. A bar
// redraws its line in place and leaves it open (no newline) until it
// finishes. A report written while a bar's line is open ends that line
// first, so that the report starts on a line of its own, and the bar draws
// no more. Everything is written to file descriptor 2 directly, bypassing
// any buffering, in as few write(2) calls as the system allows, so that
// lines written by several threads do not interleave.
class StandardError {
public:
    // Draws `bar`'s line in place; `ends_line` ends it.
    static void draw_bar_line(const void* bar, const std::string& line, bool ends_line) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (bar == ended_bar_) {
            return;
        }
        write("\r\x1b[2K" + line + (ends_line ? "\n" : ""));
        open_bar_ = ends_line ? nullptr : bar;
    }

    // Ends `bar`'s line if it is still open; called when the bar goes away.
    static void close_bar_line(const void* bar) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (open_bar_ == bar) {
            write("\n");
            open_bar_ = nullptr;
        }
        if (ended_bar_ == bar) {
            ended_bar_ = nullptr;
        }
    }

    static void write_report(const std::string& text) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (open_bar_ != nullptr) {
            ended_bar_ = open_bar_;
            open_bar_ = nullptr;
            write("\n" + text);
        } else {
            write(text);
        }
    }

private:
    // Errors are ignored: there is nowhere left to report them.
    static void write(const std::string& text) {
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

    static inline std::mutex mutex_;
    static inline const void* open_bar_ = nullptr;   // whose line is open
    static inline const void* ended_bar_ = nullptr;  // whose line a report ended
};

}  // namespace cropmerge
