#include "desktop/diagnostics/DebugMonitor.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace quillmere {
namespace {

class SaltedMonitor : public DebugMonitor {
public:
    SaltedMonitor(QString folder, QString salt) : DebugMonitor(std::move(folder), std::move(salt)) {}
};

const QString knownSalt = QStringLiteral("0F4C1E2A-5B6D-4E7F-8A9B-C0D1E2F3A4B5");

TEST(DebugMonitorFingerprint, IsTheLeadingDigestBytesOfSaltThenText) {
    SaltedMonitor monitor(QStringLiteral("/nonexistent"), knownSalt);
    EXPECT_EQ(monitor.fingerprint(u"conversation"), QStringLiteral("0207504e973480c7"));
    // Hashed as UTF-8, astral characters included.
    EXPECT_EQ(monitor.fingerprint(u"שלום 👋"), QStringLiteral("663aa4e4889b0ddc"));
    EXPECT_EQ(monitor.fingerprint(u""), QStringLiteral("8f4c44d1d12254fc"));
}

TEST(DebugMonitorFingerprint, SaltAndTextAreJoinedWithoutSeparator) {
    SaltedMonitor longer(QString(), QStringLiteral("AB"));
    SaltedMonitor shorter(QString(), QStringLiteral("A"));
    EXPECT_EQ(longer.fingerprint(u"C"), shorter.fingerprint(u"BC"));
}

TEST(DebugMonitorFingerprint, StableWithinAMonitorAndDifferentAcrossSalts) {
    DebugMonitor first(QStringLiteral("/nonexistent"));
    DebugMonitor second(QStringLiteral("/nonexistent"));
    const QString text = QStringLiteral("com.openai.chat|thread:123");
    const QString print = first.fingerprint(text);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{16}$")).match(print).hasMatch())
        << print.toStdString();
    EXPECT_EQ(first.fingerprint(text), print);
    EXPECT_NE(first.fingerprint(QStringLiteral("com.openai.chat|thread:124")), print);
    EXPECT_NE(second.fingerprint(text), print);
    EXPECT_FALSE(print.contains(u"123"));
}

TEST(DebugMonitorShared, IsOneInstanceWritingIntoTheDiagnosticsRoot) {
    DebugMonitor& shared = DebugMonitor::shared();
    EXPECT_EQ(&shared, &DebugMonitor::shared());
    EXPECT_EQ(shared.fingerprint(u"x"), DebugMonitor::shared().fingerprint(u"x"));
    EXPECT_FALSE(shared.folder().isEmpty());
}

} // namespace
} // namespace quillmere
