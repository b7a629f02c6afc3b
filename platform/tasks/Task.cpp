#include "platform/tasks/Task.h"

#include <QtDebug>
#include <coroutine>
#include <exception>
#include <map>
#include <utility>

namespace quillmere {

// MARK: - CancelToken

struct CancelToken::State {
    bool cancelled = false;
    quint64 nextHandle = 1;
    std::map<quint64, std::function<void()>> callbacks;
};

namespace {

void runCallback(const std::function<void()>& action) {
    try {
        if (action)
            action();
    } catch (const std::exception& error) {
        qWarning().noquote() << "Cancellation handler failed:" << error.what();
    } catch (...) {
        qWarning().noquote() << "Cancellation handler failed with an unknown exception";
    }
}

} // namespace

CancelToken::CancelToken() : state_(std::make_shared<State>()) {}

void CancelToken::cancel() const {
    // Keep the state alive while handlers run: a handler may drop the last other copy.
    const std::shared_ptr<State> state = state_;
    if (state->cancelled)
        return;
    state->cancelled = true;
    auto callbacks = std::move(state->callbacks);
    state->callbacks.clear();
    for (auto& [handle, action] : callbacks)
        runCallback(action);
}

bool CancelToken::isCancelled() const {
    return state_->cancelled;
}

quint64 CancelToken::onCancel(std::function<void()> action) const {
    if (state_->cancelled) {
        runCallback(action);
        return 0;
    }
    const quint64 handle = state_->nextHandle++;
    state_->callbacks.emplace(handle, std::move(action));
    return handle;
}

void CancelToken::removeCallback(quint64 handle) const {
    state_->callbacks.erase(handle);
}

// MARK: - spawn

namespace {

struct SpawnedTask {
    QString name;
    std::function<QCoro::Task<void>()> body;
};

// Owns the body (and so whatever its lambda captured) until the coroutine has finished.
QCoro::Task<void> runSpawned(std::shared_ptr<SpawnedTask> task) {
    try {
        QCoro::Task<void> running = task->body();
        co_await running;
    } catch (const std::exception& error) {
        qWarning().noquote() << "Task" << task->name << "failed:" << error.what();
    } catch (...) {
        qWarning().noquote() << "Task" << task->name << "failed with an unknown exception";
    }
}

} // namespace

void spawn(QString name, std::function<QCoro::Task<void>()> body) {
    auto task = std::make_shared<SpawnedTask>(SpawnedTask{std::move(name), std::move(body)});
    // Zero delay still means a later turn: the caller finishes its own step first.
    Scheduler::current().schedule(0, [task] { runSpawned(task); });
}

// MARK: - sleep

namespace {

class SleepAwaiter {
public:
    SleepAwaiter(double seconds, CancelToken token, Scheduler& scheduler)
        : seconds_(seconds), token_(std::move(token)), scheduler_(&scheduler) {}

    bool await_ready() const noexcept { return false; }

    void await_suspend(std::coroutine_handle<> waiter) {
        state_->waiter = waiter;
        const std::shared_ptr<State> state = state_;
        const CancelToken token = token_;
        Scheduler* scheduler = scheduler_;
        state->timer = scheduler->schedule(seconds_, [state, token] {
            if (state->finished)
                return;
            state->finished = true;
            state->elapsed = true;
            token.removeCallback(state->cancelHandle);
            state->waiter.resume();
        });
        // Cancellation stops the timer and resumes the waiter on the next turn, never inside
        // the canceller's own call.
        state->cancelHandle = token.onCancel([state, scheduler] {
            if (state->finished)
                return;
            state->finished = true;
            scheduler->cancel(state->timer);
            scheduler->schedule(0, [state] { state->waiter.resume(); });
        });
    }

    bool await_resume() const noexcept { return state_->elapsed; }

private:
    struct State {
        std::coroutine_handle<> waiter;
        bool finished = false;
        bool elapsed = false;
        Scheduler::TimerID timer = 0;
        quint64 cancelHandle = 0;
    };

    double seconds_;
    CancelToken token_;
    Scheduler* scheduler_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace

QCoro::Task<bool> sleep(double seconds, CancelToken token, Scheduler& scheduler) {
    if (token.isCancelled())
        co_return false;
    SleepAwaiter awaiter(seconds, token, scheduler);
    const bool elapsed = co_await awaiter;
    co_return elapsed;
}

} // namespace quillmere
