#pragma once

// A socket bound at a path, for the tests of what the application does with a socket where one of
// its files should be. Closed, and left in place, with the object.

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillmere::testing {

class SocketAt {
public:
    explicit SocketAt(const QString& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        // A socket address holds a short path only: bound through its folder's descriptor.
        const int folder =
            ::open(QFile::encodeName(QFileInfo(path).path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0 || folder < 0)
            return;
        const QByteArray name = "/proc/self/fd/" + QByteArray::number(folder) + '/' +
                                QFile::encodeName(QFileInfo(path).fileName());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (size_t(name.size()) < sizeof(address.sun_path)) {
            std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
            bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        }
        ::close(folder);
    }
    ~SocketAt() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SocketAt(const SocketAt&) = delete;
    SocketAt& operator=(const SocketAt&) = delete;

    bool bound() const { return bound_; }

private:
    int fd_;
    bool bound_ = false;
};

} // namespace quillmere::testing
