#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace cropmerge {

// The engine's one failure type. Its message is part of the interface: the
// binding hands it to Python unchanged.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";
inline constexpr const char* kRowIndexAssertion = "assertion failed: index < dim";
inline constexpr const char* kMissingRow = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kIncompatibleShape =
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible "
    "shapes";

// Writes the short failure report (thread, source position, message, hint) to
// standard error on the failing thread, then throws Failure(message).
[[noreturn]] void fail(const std::string& message,
                       std::source_location where = std::source_location::current());

}  // namespace cropmerge
