#include "desktop/observation/ConversationMemoryFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere;

namespace {
int modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}
} // namespace

TEST(ConversationMemoryFile, OneFilePerHostWrittenPrivately) {
    QTemporaryDir dir;
    const QString folder = dir.filePath("support/Quillmere");
    ConversationMemoryFile chat(folder, QString("com.openai.chat"));
    ConversationMemoryFile any(folder, std::nullopt);
    ConversationMemoryFile odd(folder, QString("../../etc/passwd"));
    EXPECT_NE(chat.path(), any.path());
    EXPECT_EQ(QFileInfo(odd.path()).absolutePath(), QFileInfo(chat.path()).absolutePath());
    EXPECT_FALSE(QFileInfo(odd.path()).fileName().contains(".."));

    EXPECT_EQ(chat.load(), std::nullopt);
    ASSERT_TRUE(chat.save("[]"));
    EXPECT_EQ(modeOf(chat.path()), 0600);
    EXPECT_EQ(modeOf(folder), 0700);
    ASSERT_TRUE(chat.save("[1]"));

    ConversationMemoryFile again(folder, QString("com.openai.chat"));
    EXPECT_EQ(again.load(), QByteArray("[1]"));
}

TEST(ConversationMemoryFile, DamagedFileIsMovedAsideNotDeleted) {
    QTemporaryDir dir;
    ConversationMemoryFile file(dir.path(), QString("com.openai.codex"));
    QFile raw(file.path());
    ASSERT_TRUE(raw.open(QIODevice::WriteOnly));
    raw.write("{not json");
    raw.close();

    ASSERT_EQ(file.load(), QByteArray("{not json"));
    const auto aside = file.setAside("not a memory document");
    ASSERT_TRUE(aside.has_value());
    EXPECT_FALSE(QFileInfo::exists(file.path()));
    QFile kept(*aside);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "{not json");
    EXPECT_TRUE(file.save("[]"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}
