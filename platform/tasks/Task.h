#pragma once

// The project's task API: asynchronous work on the main thread as C++20 coroutines (QCoro).
//
// - spawn() starts a task body on a later turn of the event loop, never inline, so a caller
//   finishes its own step before the task runs.
// - A CancelToken is checked exactly where a body decides to check it; sleep() ends early, with
//   false, when its token is cancelled.
// - A body's exceptions are caught and logged; none escapes to the event loop.
// - Results of superseded work are recognised by a Generation number and dropped.

#include "platform/tasks/Scheduler.h"

#include <QCoroTask>
#include <QString>
#include <functional>
#include <memory>

namespace quillmere {

class CancelToken {
public:
    CancelToken();
    void cancel() const;
    bool isCancelled() const;
    // Runs `action` once when cancelled (at once when already cancelled). Returns a handle that
    // removes the action when passed to removeCallback.
    quint64 onCancel(std::function<void()> action) const;
    void removeCallback(quint64 handle) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Starts `body` on a later turn of the main thread's event loop, through the current scheduler
// (so under virtual time it starts when the test advances). `name` appears in the log line
// written when the body throws. The body is kept alive, with whatever its lambda captured, until
// its coroutine has finished.
void spawn(QString name, std::function<QCoro::Task<void>()> body);

// Waits `seconds` on `scheduler`. Returns true when the time passed, false when `token` was
// cancelled first (or already). On cancellation the timer is cancelled and the waiter resumes on
// the next turn.
QCoro::Task<bool> sleep(double seconds, CancelToken token = {}, Scheduler& scheduler = Scheduler::current());

// A counter that makes results of superseded work recognisable.
class Generation {
public:
    quint64 advance() { return ++value_; }
    quint64 current() const { return value_; }
    bool isCurrent(quint64 ticket) const { return ticket == value_; }

private:
    quint64 value_ = 0;
};

} // namespace quillmere
