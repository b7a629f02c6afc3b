#include "desktop/classification/RequestCapture.h"

#include "core/Json.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace quillmere;

namespace {

const QUrl endpoint("https://service.invalid/v1/recommendations/openai");

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void arm(const QString& root) {
    QFile marker(root + "/capture-next");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
}

int modeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

class RequestCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path() + "/capture";
        ASSERT_TRUE(QDir().mkdir(root));
        ::chmod(QFile::encodeName(root).constData(), 0700);
    }
    QStringList entries() const {
        return QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    }

    QTemporaryDir dir;
    QString root;
    ManualClock clock;
};

} // namespace

TEST_F(RequestCaptureTest, WritesMetadataAndResultAsPrivateFiles) {
    arm(root);
    const auto capture = RequestCapture::begin("{\"messages\":[]}", endpoint, root, clock);
    ASSERT_TRUE(capture);
    // Only the capture folder is left: the claimed marker never outlives the claim.
    EXPECT_EQ(entries(), QStringList{QFileInfo(capture->directory()).fileName()});
    EXPECT_EQ(QFileInfo(capture->directory()).fileName(),
              QFileInfo(capture->directory()).fileName().toUpper());
    EXPECT_EQ(modeOf(capture->directory()), 0700);
    EXPECT_EQ(readAll(capture->directory() + "/metadata.json"),
              "{\n  \"endpoint\" : \"https:\\/\\/service.invalid\\/v1\\/recommendations\\/openai\",\n"
              "  \"method\" : \"POST\",\n  \"startedAt\" : \"2026-01-15T12:00:00Z\"\n}");
    clock.advance(2);
    capture->finish("", 0, clock);
    EXPECT_EQ(readAll(capture->directory() + "/result.json"),
              "{\n  \"finishedAt\" : \"2026-01-15T12:00:02Z\",\n  \"httpStatus\" : 0\n}");
    for (const char* name : {"request.json", "metadata.json", "response.json", "result.json"})
        EXPECT_EQ(modeOf(capture->directory() + "/" + name), 0600) << name;
}

TEST_F(RequestCaptureTest, TransportFailureLeavesTheFixedResultAndNoResponse) {
    arm(root);
    const auto capture = RequestCapture::begin("{}", endpoint, root, clock);
    ASSERT_TRUE(capture);
    capture->failed();
    EXPECT_EQ(readAll(capture->directory() + "/result.json"), "{\"transportFailed\":true}");
    EXPECT_FALSE(QFile::exists(capture->directory() + "/response.json"));
}

TEST_F(RequestCaptureTest, RefusesARootThatIsALinkOrOpenToOthers) {
    const QString elsewhere = dir.path() + "/elsewhere";
    ASSERT_TRUE(QDir().mkdir(elsewhere));
    arm(elsewhere);
    const QString link = dir.path() + "/link";
    ASSERT_TRUE(QFile::link(elsewhere, link));
    EXPECT_FALSE(RequestCapture::begin("{}", endpoint, link, clock));
    // The marker behind the link is untouched: nothing was claimed through it.
    EXPECT_TRUE(QFile::exists(elsewhere + "/capture-next"));

    arm(root);
    ::chmod(QFile::encodeName(root).constData(), 0777);
    EXPECT_FALSE(RequestCapture::begin("{}", endpoint, root, clock));
    ::chmod(QFile::encodeName(root).constData(), 0720);
    EXPECT_FALSE(RequestCapture::begin("{}", endpoint, root, clock));
    ::chmod(QFile::encodeName(root).constData(), 0755);
    EXPECT_TRUE(RequestCapture::begin("{}", endpoint, root, clock));

    EXPECT_FALSE(RequestCapture::begin("{}", endpoint, dir.path() + "/missing", clock));
}
