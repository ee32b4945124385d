#include "engine/progress_bar.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/standard_error.h"

namespace cropmerge {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<std::string_view, 29> kSpinnerFrames = {
    "⠁", "⠁", "⠉", "⠙", "⠚", "⠒", "⠂", "⠂", "⠒", "⠲", "⠴", "⠤", "⠄", "⠄", "⠤",
    "⠠", "⠠", "⠤", "⠦", "⠖", "⠒", "⠐", "⠐", "⠒", "⠓", "⠋", "⠉", "⠈", "⠈"};
constexpr int kBarCells = 40;
constexpr auto kRedrawInterval = std::chrono::milliseconds(50);

constexpr std::string_view kGreen = "\x1b[32m";
constexpr std::string_view kCyan = "\x1b[36m";
constexpr std::string_view kBlue = "\x1b[34m";
constexpr std::string_view kReset = "\x1b[0m";

bool stderr_shows_colours() {
    if (isatty(STDERR_FILENO) != 1 || std::getenv("NO_COLOR") != nullptr) {
        return false;
    }
    const char* term = std::getenv("TERM");
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

std::string two_digits(uint64_t value) {
    return value < 10 ? "0" + std::to_string(value) : std::to_string(value);
}

std::string precise(uint64_t seconds) {
    return two_digits(seconds / 3600) + ":" + two_digits(seconds / 60 % 60) + ":" +
           two_digits(seconds % 60);
}

// A whole number and a unit letter: 5s, 2m, 3h, 1d.
std::string compact(uint64_t seconds) {
    if (seconds < 60) {
        return std::to_string(seconds) + "s";
    }
    if (seconds < 3600) {
        return std::to_string(seconds / 60) + "m";
    }
    if (seconds < 86400) {
        return std::to_string(seconds / 3600) + "h";
    }
    return std::to_string(seconds / 86400) + "d";
}

}  // namespace

ProgressBar::ProgressBar(uint64_t length)
    : length_(length), visible_(stderr_shows_colours()), start_(Clock::now()) {}

ProgressBar::~ProgressBar() {
    if (visible_) {
        StandardError::close_bar_line(this);
    }
}

std::string ProgressBar::render(uint64_t position, uint64_t length, Clock::duration elapsed,
                                uint64_t frame) {
    const double fraction =
        length == 0 ? 1.0 : static_cast<double>(position) / static_cast<double>(length);
    const int filled = static_cast<int>(fraction * kBarCells);
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const double left =
        position == 0 || position >= length
            ? 0.0
            : seconds / static_cast<double>(position) * static_cast<double>(length - position);

    std::string line;
    line.append(kGreen).append(kSpinnerFrames[frame % kSpinnerFrames.size()]).append(kReset);
    line.append(" [").append(precise(static_cast<uint64_t>(seconds))).append("] [");
    line.append(kCyan);
    for (int cell = 0; cell < filled; ++cell) {
        line.append("█");
    }
    line.append(kReset).append(kBlue);
    for (int cell = filled; cell < kBarCells; ++cell) {
        line.append("░");
    }
    line.append(kReset).append("] ");
    line.append(std::to_string(position)).append("/").append(std::to_string(length));
    line.append(" (").append(compact(static_cast<uint64_t>(left))).append(")");
    return line;
}

void ProgressBar::inc(uint64_t delta) {
    const uint64_t position = position_.fetch_add(delta, std::memory_order_relaxed) + delta;
    if (visible_) {
        draw(position, false);
    }
}

void ProgressBar::finish() {
    position_.store(length_, std::memory_order_relaxed);
    if (visible_) {
        draw(length_, true);
    }
}

void ProgressBar::draw(uint64_t position, bool final) {
    std::unique_lock<std::mutex> lock(draw_mutex_, std::defer_lock);
    if (final) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return;  // another worker is drawing
    }
    const auto now = Clock::now();
    if (!final && now - last_draw_ < kRedrawInterval) {
        return;
    }
    last_draw_ = now;
    // The finished bar shows the spinner's last frame.
    const uint64_t frame = final ? kSpinnerFrames.size() - 1 : frame_++;
    StandardError::draw_bar_line(this, render(position, length_, now - start_, frame), final);
}

}  // namespace cropmerge
