#pragma once

// Reading a Claude Code transcript into the branch that ends at a given event.
//
// The read finds the branch first and reads its rows second: every line is outlined (id, parent,
// type, where it lies in the file), the walk from the leaf through the parents picks the branch,
// and only the branch's requests and replies are read again for their text. What was learnt is
// kept, so that a transcript the host has only appended to since is read by its new bytes.

#include <QString>
#include <atomic>
#include <memory>
#include <sys/stat.h>

#include "desktop/observation/ClaudeLocalConversationArchive.h"

namespace quillmere::ClaudeLocalConversationArchive {

// A descriptor that closes itself.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

enum class OpenError { none, missing, notAFile, unreadable };

struct OpenedFile {
    std::unique_ptr<FileDescriptor> fd;
    struct stat info {};
    OpenError error = OpenError::none;
};

// Opens without blocking (a FIFO or device in place of an archive file must not hang the reader)
// and accepts only a regular file.
OpenedFile openRegularFile(const QString& path);
// Reads as much as asked from `offset` unless the file ends first; -1 on a read error.
qint64 readFullyAt(int fd, char* into, qint64 wanted, qint64 offset);
qint64 modifiedNs(const struct stat& info);

// The hash of a message's role and comparison key (what a person reads: white space runs and the
// way accents were typed make no difference).
size_t messageHash(const Message& message);

class TranscriptReading {
public:
    TranscriptReading();
    ~TranscriptReading();
    TranscriptReading(const TranscriptReading&) = delete;
    TranscriptReading& operator=(const TranscriptReading&) = delete;

    // Reads the transcript (only its new bytes when the file has just grown since the last read)
    // and rebuilds the branch that ends at `leafUuid`; the same result as a first read of the file.
    // `cancel`, when set, ends the read early with the failure "cancelled".
    Branch read(const QString& transcriptPath, const QString& leafUuid, const Limits& limits,
                const std::atomic<bool>* cancel = nullptr);

    // Whether the last read went on from what an earlier one had read.
    bool lastReadExtended() const;
    // Forgets everything read.
    void clear();

private:
    struct Data;
    std::unique_ptr<Data> d_;
};

} // namespace quillmere::ClaudeLocalConversationArchive
