#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace cropmerge {

// One-line progress bar on standard error:
//   {spinner} [hh:mm:ss] [40 cells] pos/len (eta)
// drawn only when standard error is a terminal that can show colours, at
// most 20 times a second, and always once more at finish; the finished line
// stays on the terminal. A bar that goes away unfinished (its call failed)
// ends its line where it stopped. Safe to advance from any number of threads.
class ProgressBar {
public:
    explicit ProgressBar(uint64_t length);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    void inc(uint64_t delta);
    // Sets the position to the length and draws the final line.
    void finish();

private:
    // The line as drawn at `position` after `elapsed`, with `frame` selecting
    // the spinner glyph (colour codes included).
    static std::string render(uint64_t position, uint64_t length,
                              std::chrono::steady_clock::duration elapsed, uint64_t frame);

    void draw(uint64_t position, bool final);

    const uint64_t length_;
    const bool visible_;
    const std::chrono::steady_clock::time_point start_;
    std::atomic<uint64_t> position_{0};
    std::mutex draw_mutex_;
    std::chrono::steady_clock::time_point last_draw_{};
    uint64_t frame_ = 0;
};

}  // namespace cropmerge
