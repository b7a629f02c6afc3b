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
#include "platform/files/RegularFile.h"

namespace quillmere::ClaudeLocalConversationArchive {

// Archive files are opened through RegularFile (without blocking, regular files only).
using RegularFile::readFullyAt;
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
