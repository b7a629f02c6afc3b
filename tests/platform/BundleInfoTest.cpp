#include "platform/config/BundleInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere;

namespace {

class BundleInfoTest : public ::testing::Test {
protected:
    BundleInfo loadText(const QByteArray& text) {
        const QString path = folder.filePath(QStringLiteral("Info%1.plist").arg(++count));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        return BundleInfo::load(path);
    }
    static QByteArray plist(const QByteArray& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\">\n<dict>\n" +
               body + "\n</dict>\n</plist>\n";
    }

    QTemporaryDir folder;
    int count = 0;
};

} // namespace

TEST_F(BundleInfoTest, OnlyTrueElementsAreBooleanTrue) {
    const BundleInfo bundle = loadText(plist("<key>On</key><true/>"
                                             "<key>Off</key><false/>"
                                             "<key>Yes</key><string>YES</string>"
                                             "<key>One</key><integer>1</integer>"
                                             "<key>Name</key><string>Quill &amp; mere</string>"));
    EXPECT_TRUE(bundle.isTrue("On"));
    EXPECT_EQ(bundle.boolean("On"), true);
    EXPECT_FALSE(bundle.isTrue("Off"));
    EXPECT_EQ(bundle.boolean("Off"), false);
    EXPECT_FALSE(bundle.isTrue("Yes"));
    EXPECT_EQ(bundle.boolean("Yes"), std::nullopt);
    EXPECT_EQ(bundle.string("Yes"), "YES");
    EXPECT_FALSE(bundle.isTrue("One"));
    EXPECT_EQ(bundle.string("One"), std::nullopt);
    EXPECT_EQ(bundle.string("On"), std::nullopt);
    EXPECT_EQ(bundle.string("Name"), "Quill & mere");
    EXPECT_FALSE(bundle.isTrue("Missing"));
}

TEST_F(BundleInfoTest, NestedContainersAreSkippedWithoutLeakingTheirKeys) {
    const BundleInfo bundle =
        loadText(plist("<key>Nested</key><dict><key>Inner</key><true/>"
                       "<key>Deeper</key><array><string>x</string><dict/></array></dict>"
                       "<key>List</key><array><true/></array>"
                       "<key>Blob</key><data>AAEC</data>"
                       "<key>Ratio</key><real>0.5</real>"
                       "<key>After</key><string>still read</string>"));
    EXPECT_FALSE(bundle.isTrue("Inner"));
    EXPECT_EQ(bundle.boolean("Nested"), std::nullopt);
    EXPECT_EQ(bundle.boolean("List"), std::nullopt);
    EXPECT_EQ(bundle.string("Blob"), std::nullopt);
    EXPECT_EQ(bundle.string("Ratio"), std::nullopt);
    EXPECT_EQ(bundle.string("After"), "still read");
}

TEST_F(BundleInfoTest, MissingOrMalformedFilesGiveAnEmptyBundle) {
    EXPECT_EQ(BundleInfo::load(folder.filePath("absent.plist")).bundleIdentifier(), std::nullopt);
    EXPECT_EQ(BundleInfo::load(QString()).bundleIdentifier(), std::nullopt);
    EXPECT_EQ(BundleInfo::load(folder.path()).bundleIdentifier(), std::nullopt) << "a folder";

    const QByteArray good = "<key>CFBundleIdentifier</key><string>id</string>";
    ASSERT_EQ(loadText(plist(good)).bundleIdentifier(), "id");
    for (const QByteArray& text : {
             QByteArray(), QByteArray("not xml at all"),
             plist(good).left(plist(good).size() - 12),                                   // truncated
             plist(good + "<key>Dangling</key>"),                                         // key without value
             plist(good + "<string>no key</string>"),                                     // value without key
             plist(good + "<key>X</key><integer>12abc</integer>"),                        // bad number
             plist(good + "<key>X</key><mystery/>"),                                      // unknown element
             plist(good + "<key><b>k</b></key><true/>"),                                  // key with markup
             QByteArray("<plist><array><string>id</string></array></plist>"),             // not a dict
             QByteArray("<dict><key>CFBundleIdentifier</key><string>id</string></dict>"), // no plist
             plist(good) + "<extra/>",                                                    // second root
             QByteArray("<plist><dict>") + good + "</dict><dict/></plist>",               // two dicts
         })
        EXPECT_EQ(loadText(text).bundleIdentifier(), std::nullopt) << text.constData();
}

TEST_F(BundleInfoTest, EntityExpansionBombsAreRefusedQuickly) {
    QByteArray bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a \"aaaaaaaaaa\">\n";
    char previous = 'a';
    for (char name = 'b'; name <= 'k'; ++name) {
        bomb += "<!ENTITY " + QByteArray(1, name) + " \"";
        for (int i = 0; i < 10; ++i)
            bomb += "&" + QByteArray(1, previous) + ";";
        bomb += "\">\n";
        previous = name;
    }
    bomb += "]>\n<plist><dict><key>CFBundleIdentifier</key><string>&k;</string></dict></plist>\n";
    EXPECT_EQ(loadText(bomb).bundleIdentifier(), std::nullopt);
}

TEST_F(BundleInfoTest, ANamedPipeIsNotRead) {
    const QString path = folder.filePath("pipe.plist");
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_EQ(BundleInfo::load(path).bundleIdentifier(), std::nullopt); // would block if opened
}

TEST(BundleInfo, TheBuildPutsThePropertyListBesideTheExecutable) {
    const QString binaryDir = QStringLiteral(QUILLMERE_BINARY_DIR);
    const QFileInfo executable(QDir(binaryDir).filePath("quillmere"));
    ASSERT_TRUE(executable.exists());
    const BundleInfo bundle = BundleInfo::load(executable.dir().filePath("Info.plist"));
    EXPECT_EQ(bundle.bundleIdentifier(), "com.quillmere.zudizur");
    // The test programs sit in the same folder, so main() finds the same list.
    EXPECT_EQ(BundleInfo::main().bundleIdentifier(), "com.quillmere.zudizur");
}
