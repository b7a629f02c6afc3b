#pragma once

// The live, content-free debug state of every host the application watches. Conversation
// identities appear in diagnostics only as salted fingerprints: the salt is made fresh for each
// process and never leaves memory, so a fingerprint names a conversation within one run without
// revealing it, and cannot be matched across runs.

#include <QString>
#include <QStringView>

namespace quillmere {

class DebugMonitor {
public:
    // A monitor with a fresh salt and empty state, writing its per-host files into `folder`.
    explicit DebugMonitor(QString folder);
    DebugMonitor(const DebugMonitor&) = delete;
    DebugMonitor& operator=(const DebugMonitor&) = delete;

    // The process-wide monitor, created on first use; it writes into Paths::diagnosticsRoot().
    static DebugMonitor& shared();

    // The first 8 bytes of SHA-256 over the salt followed by the text, as 16 lower-case
    // hexadecimal digits. Equal texts give equal fingerprints within this monitor.
    QString fingerprint(QStringView text) const;

    const QString& folder() const { return folder_; }

protected:
    // For tests that pin the digest: a monitor whose salt is given.
    DebugMonitor(QString folder, QString salt);

private:
    // The canonical upper-case form of a random UUID; never written, logged or shown.
    QString salt_;
    QString folder_;
};

} // namespace quillmere
