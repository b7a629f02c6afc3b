#pragma once

// For tests that plant a FIFO where a file is expected: a reader that opens it without care
// blocks until a writer appears. The call runs on its own thread; when it has not returned in
// time, the FIFO is opened for writing once so the blocked reader wakes and the test can fail
// instead of hanging.

#include <QByteArray>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::testing {

template <class Call>
bool returnsWithoutBlocking(const QByteArray& fifo, Call call,
                            std::chrono::milliseconds patience = std::chrono::seconds(5)) {
    auto running = std::async(std::launch::async, std::move(call));
    if (running.wait_for(patience) == std::future_status::ready) {
        running.get();
        return true;
    }
    // Keep offering a writer until the reader has woken (it may not have reached open() yet).
    while (running.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    running.get();
    return false;
}

} // namespace quillmere::testing
