#pragma once

#include <stdexcept>

namespace quillmere {

// Thrown out of a task's awaits when the task was cancelled, so callers can tell a deliberate
// cancellation from a failure.
struct TaskCancelled : std::runtime_error {
    TaskCancelled() : std::runtime_error("CancellationError()") {}
};

} // namespace quillmere
