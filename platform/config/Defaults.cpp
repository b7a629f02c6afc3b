#include "platform/config/Defaults.h"

#include "platform/config/BundleInfo.h"
#include "platform/config/SettingsCopyFolder.h"
#include "platform/config/SettingsFileRead.h"
#include "platform/config/SettingsLock.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"
#include "platform/files/RegularFile.h"
#include "platform/tasks/Scheduler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QtDebug>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <utility>
#include <vector>

namespace quillmere {

using settings::busy;
using settings::parseOpen;
using settings::Read;
using settings::readBytes;
using settings::readStrings;
using settings::removeStaleCopies;
using settings::Strings;
using settings::stringsIn;
using settings::takeTurn;
using settings::unreadable;
using settings::WriteCopy;

namespace {

// INI keeps only text, so each value lives in a group named for its type: a key read as the wrong
// type is simply absent there, and "true" stored as a string never reads as a Boolean.
const QString stringGroup = QStringLiteral("string");
const QString booleanGroup = QStringLiteral("bool");
const QString numberGroup = QStringLiteral("number");

QString typed(const QString& group, const QString& key) {
    return group + u'/' + key;
}

QString fileFor(const QString& suite, const QString& folder) {
    QString base =
        folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) : folder;
    // The suite names a file inside the folder, never a path out of it.
    QString name = suite;
    name.replace(u'/', u'_');
    if (name.isEmpty() || name == u"." || name == u"..")
        name = QStringLiteral("_") + name;
    return QDir(base).filePath(name + QStringLiteral(".ini"));
}

// --- The suites of the process ---------------------------------------------------------------------

// How long a write may wait for another writer's turn where no event loop runs to come back later:
// in a program without an application object, and for the last write as the application ends.
constexpr int unattendedWaitMilliseconds = 5000;
constexpr int lastWriteWaitMilliseconds = 2000;
// A failed write is tried again after this long, the wait doubling while it keeps failing.
constexpr double retryFirstSeconds = 0.1;
constexpr double retryLongestSeconds = 2.0;
// Another writer's turn outlasting this is said as a failed write; shorter ones are only waited out,
// tried for every few milliseconds.
constexpr double busySaidAfterSeconds = 5.0;
constexpr double busyStepSeconds = 0.002;

// Set once the process has begun running its exit handlers: Qt's own objects may be gone, so no
// settings code runs from then on. Plain data, readable to the very end.
std::atomic<bool> exiting{false};

void markExiting() {
    exiting.store(true);
}

// Never destroyed: suites with static storage leave it while the process ends.
struct LiveSuites {
    std::mutex mutex;
    std::vector<Defaults*> suites;
    bool watchingApplication = false;
};

LiveSuites& liveSuites() {
    static LiveSuites* suites = new LiveSuites;
    return *suites;
}

QString standardSuite() {
    if (auto identifier = BundleInfo::main().bundleIdentifier(); identifier && !identifier->isEmpty())
        return *identifier;
    return QCoreApplication::applicationName();
}

} // namespace

Defaults& Defaults::standard() {
    static Defaults defaults(standardSuite());
    // Registered after the suite is made, so that it runs before the suite is destroyed at exit.
    static const bool watched = std::atexit(markExiting) == 0;
    Q_UNUSED(watched);
    return defaults;
}

Defaults::Defaults(const QString& suite, const QString& folder) : file_(fileFor(suite, folder)) {
    {
        LiveSuites& live = liveSuites();
        const std::lock_guard<std::mutex> guard(live.mutex);
        live.suites.push_back(this);
    }
    const Strings file = readStrings(file_);
    refusal_ = file.problem;
    if (!file.strings)
        return;
    takeUp(*file.strings);
    // Copies of the settings that writes killed before their end left behind (beside the file,
    // and the copy folders beside it), once the file is known to be this user's to write.
    if (const std::optional<QString> real = OwnedPath::ownedFile(file_)) {
        AtomicFile::removeStaleTemporaries(*real);
        const QFileInfo name(file_);
        if (const auto place = OwnedPath::folderPlace(name.path()); place && place->missing.isEmpty())
            removeStaleCopies(place->real, name.fileName());
    }
}

Defaults::~Defaults() {
    {
        LiveSuites& live = liveSuites();
        const std::lock_guard<std::mutex> guard(live.mutex);
        live.suites.erase(std::remove(live.suites.begin(), live.suites.end(), this), live.suites.end());
    }
    // A suite going while its application runs writes what is pending now, with no loop turn left
    // to wait for. Once the application has ended, or the process is exiting, Qt's settings code may
    // be gone with it: what is still pending is said, not attempted.
    if (!changes_.isEmpty() && !ended_ && !exiting.load() && QCoreApplication::instance()) {
        sync();
    }
    if (!changes_.isEmpty())
        sayLost(syncFailure_.value_or(QStringLiteral("the application ended before it was written")));
}

void Defaults::sayLost(const QString& reason) const {
    // Plain standard error: at the end of the process nothing else may be left to say it through.
    const QByteArray line = "quillmere: could not save the user defaults " +
                            QFileInfo(file_).completeBaseName().toLocal8Bit() + " (" + reason.toLocal8Bit() +
                            "); the changes not written are lost\n";
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}

void Defaults::writeLast() {
    LiveSuites& live = liveSuites();
    std::vector<Defaults*> suites;
    {
        const std::lock_guard<std::mutex> guard(live.mutex);
        live.watchingApplication = false;
        suites = live.suites;
    }
    for (Defaults* suite : suites) {
        suite->dropRetry();
        suite->writeScheduled_ = false;
        // Ended first: nothing is posted or tried again on a loop that has run its last turn.
        suite->ended_ = true;
        if (!suite->changes_.isEmpty()) {
            suite->sync(lastWriteWaitMilliseconds);
            if (!suite->changes_.isEmpty())
                suite->sayLost(suite->syncFailure_.value_or(QStringLiteral("write failed")));
        }
        suite->changes_.clear();
    }
}

void Defaults::watchApplication() {
    LiveSuites& live = liveSuites();
    const std::lock_guard<std::mutex> guard(live.mutex);
    if (live.watchingApplication)
        return;
    live.watchingApplication = true;
    // Run as the application object is destroyed, while it still is: the last write of every suite.
    qAddPostRoutine(&Defaults::writeLast);
}

void Defaults::takeUp(const QHash<QString, QString>& strings) {
    values_ = strings;
    // What this run set and could not write yet stays in effect.
    for (auto change = changes_.cbegin(); change != changes_.cend(); ++change) {
        if (change.value())
            values_.insert(change.key(), *change.value());
        else
            values_.remove(change.key());
    }
}

std::optional<QString> Defaults::stored(const QString& group, const QString& key) const {
    const auto found = values_.constFind(typed(group, key));
    return found == values_.constEnd() ? std::nullopt : std::optional<QString>(*found);
}

void Defaults::store(const QString& group, const QString& key, const std::optional<QString>& text) {
    const QString name = typed(group, key);
    if (!text && !values_.contains(name) && !changes_.contains(name))
        return;
    if (text)
        values_.insert(name, *text);
    else
        values_.remove(name);
    // A refused suite keeps its values for this run only: nothing is ever written for it.
    if (refusal_)
        return;
    changes_.insert(name, text);
    scheduleWrite();
}

// Whether an event loop runs here to come back on later: on the application's own thread, until
// its end. Elsewhere a write may wait for its turn, as a program without a loop's does.
bool Defaults::loopRuns() const {
    const QCoreApplication* application = QCoreApplication::instance();
    return application && !ended_ && QThread::currentThread() == application->thread();
}

void Defaults::scheduleWrite() {
    if (writeScheduled_ || exiting.load())
        return;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application || ended_) {
        sync(); // no event loop to wait for
        return;
    }
    watchApplication();
    writeScheduled_ = true;
    // Posted rather than written here: the changes of one turn (a pause and its new period) go
    // to the file together.
    QMetaObject::invokeMethod(
        application,
        [this, alive = std::weak_ptr<char>(alive_)] {
            if (alive.expired() || !writeScheduled_)
                return;
            writeOfItsOwnAccord();
        },
        Qt::QueuedConnection);
}

void Defaults::writeOfItsOwnAccord() {
    sync();
    // Another writer's turn is waited out without a word while it is short.
    if (syncFailure_ == busy && busySince_ && Scheduler::current().now() - *busySince_ < busySaidAfterSeconds)
        return;
    if (writeReport_)
        writeReport_(syncFailure_);
}

// A retry already scheduled is left to find itself outdated rather than cancelled: the scheduler it
// was put on may be gone by now (a test's), while the suite's own state is not.
void Defaults::dropRetry() {
    retry_.reset();
    ++retryToken_;
}

void Defaults::scheduleRetry() {
    if (!loopRuns() || retry_ || exiting.load())
        return;
    watchApplication();
    Scheduler& scheduler = Scheduler::current();
    // Another writer's turn takes milliseconds, and a busy writer takes the next one at once: its
    // turn is tried for in short steps, as a write that could wait would, until it is said.
    double wait = busyStepSeconds;
    if (!busySince_ || scheduler.now() - *busySince_ >= busySaidAfterSeconds) {
        retryWait_ = retryWait_ == 0 ? retryFirstSeconds : std::min(retryWait_ * 2, retryLongestSeconds);
        wait = retryWait_;
    }
    retry_ = scheduler.schedule(wait, [this, alive = std::weak_ptr<char>(alive_), token = retryToken_] {
        if (alive.expired() || token != retryToken_)
            return;
        retry_.reset();
        if (!changes_.isEmpty())
            writeOfItsOwnAccord();
    });
}

std::optional<QString> Defaults::string(const QString& key) const {
    return stored(stringGroup, key);
}

std::optional<bool> Defaults::boolean(const QString& key) const {
    const std::optional<QString> text = stored(booleanGroup, key);
    if (text == u"true")
        return true;
    if (text == u"false")
        return false;
    return std::nullopt;
}

std::optional<double> Defaults::number(const QString& key) const {
    const std::optional<QString> text = stored(numberGroup, key);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const double number = QLocale::c().toDouble(*text, &ok);
    if (!ok)
        return std::nullopt;
    return number;
}

void Defaults::set(const QString& key, const QVariant& value) {
    if (!value.isValid()) {
        remove(key);
        return;
    }
    QString group;
    QString text;
    switch (value.typeId()) {
    case QMetaType::Bool:
        group = booleanGroup;
        text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        break;
    case QMetaType::QString:
        group = stringGroup;
        text = value.toString();
        break;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Float:
    case QMetaType::Double:
        group = numberGroup;
        text = QLocale::c().toString(value.toDouble(), 'g', QLocale::FloatingPointShortest);
        break;
    default:
        qWarning().noquote() << "Defaults: not storing" << key << "of unsupported type" << value.typeName();
        return;
    }
    // Under one type only: storing again under another type replaces the old value.
    for (const QString& other : {stringGroup, booleanGroup, numberGroup})
        if (other != group)
            store(other, key, std::nullopt);
    store(group, key, text);
}

void Defaults::remove(const QString& key) {
    for (const QString& group : {stringGroup, booleanGroup, numberGroup})
        store(group, key, std::nullopt);
}

bool Defaults::sync() {
    return sync(loopRuns() ? 0 : unattendedWaitMilliseconds);
}

bool Defaults::sync(int waitMilliseconds) {
    writeScheduled_ = false;
    if (refusal_) {
        syncFailure_ = refusal_;
        return false;
    }
    if (exiting.load()) {
        syncFailure_ = QStringLiteral("the process is ending");
        return false;
    }
    // Judged again before every write: the file may have been swapped since the start, and may be
    // a link of this user's own, written where it leads.
    const std::optional<QString> real = OwnedPath::ownedFile(file_);
    if (!real)
        syncFailure_ = OwnedPath::refusalReason();
    else if (!changes_.isEmpty())
        syncFailure_ = write(*real, waitMilliseconds);
    else {
        // Nothing to write: what another process saved meanwhile is taken up.
        const Strings file = readStrings(*real);
        syncFailure_ = file.problem;
        if (file.strings)
            takeUp(*file.strings);
        return !syncFailure_;
    }
    if (!syncFailure_) {
        retryWait_ = 0;
        busySince_.reset();
        dropRetry();
        return true;
    }
    // A failed write stays pending and is tried again shortly, until it is written: the cause (a
    // writer's turn, a full disk, something in the lock's place) may go without anything changing.
    if (syncFailure_ == busy && loopRuns()) {
        if (!busySince_)
            busySince_ = Scheduler::current().now();
    } else {
        busySince_.reset();
    }
    scheduleRetry();
    return false;
}

std::optional<QString> Defaults::write(const QString& real, int waitMilliseconds) {
    QString error;
    const auto failure = [&error] { return error.isEmpty() ? QStringLiteral("write failed") : error; };
    // Made where the path really leads and judged again once made, as every folder of ours is.
    const QFileInfo name(file_);
    const std::optional<QString> folder = AtomicFile::makeOwnedFolder(name.path(), &error);
    if (!folder)
        return failure();
    // Writers of the file take turns, QSettings among them, and a turn reads, merges and replaces:
    // what another process saved before it is kept rather than written over. QSettings names its
    // lock after the name it was given, beside it; the lock is taken beside that name where it
    // really is (in the folder just judged), so a settings file that is a link keeps its lock beside
    // the link, and a name whose ".." Qt would tidy away as text still finds the lock where the file
    // is rather than in a folder that was never judged.
    QLockFile lock(*folder + u'/' + name.fileName() + QStringLiteral(".lock"));
    if (std::optional<QString> refused = takeTurn(lock, waitMilliseconds))
        return refused;
    const Read file = readBytes(real);
    if (!file.bytes)
        return file.problem;
    const WriteCopy copy(*folder, name.fileName(), *file.bytes);
    if (copy.path().isEmpty())
        return copy.error();
    QHash<QString, QString> meant;
    bool changed = false; // QSettings writes its file only when something in it changes
    {
        QSettings settings(copy.path(), QSettings::IniFormat);
        for (auto change = changes_.cbegin(); change != changes_.cend(); ++change) {
            if (change.value()) {
                settings.setValue(change.key(), *change.value());
                changed = true;
            } else if (settings.contains(change.key())) {
                settings.remove(change.key());
                changed = true;
            }
        }
        errno = 0;
        settings.sync();
        const int code = errno;
        if (settings.status() == QSettings::AccessError)
            return settings::reasonLeftByQt(code, QStringLiteral("write failed"));
        meant = stringsIn(settings);
    }
    if (changed) {
        // QSettings does not say every failure to write (a file cut short by a full disk reads as
        // written): what it wrote is read back, within the bound the next start reads within, and
        // must hold exactly what was meant before it replaces the file. A file the next start would
        // refuse ("too large") is not written either; the file then stays as it was.
        const RegularFile::Opened written = RegularFile::open(copy.path());
        if (written.problem() != RegularFile::Problem::none)
            return settings::problemReason(written.problem(), written.systemCode(), written.systemError());
        if (written.info().st_size > maximumFileBytes)
            return RegularFile::describe(RegularFile::Problem::tooLarge);
        QByteArray bytes(qsizetype(written.info().st_size), Qt::Uninitialized);
        if (RegularFile::readFullyAt(written.fd(), bytes.data(), bytes.size(), 0) != bytes.size())
            return unreadable;
        const std::optional<QHash<QString, QString>> readBack = parseOpen(written.fd(), &error);
        if (!readBack)
            return error;
        if (*readBack != meant)
            return QStringLiteral("what was written did not read back");
        // Judged once more right before it is replaced, the turn having taken time.
        if (!AtomicFile::writeOwned(file_, bytes, &error))
            return failure();
    }
    changes_.clear();
    takeUp(meant);
    return std::nullopt;
}

} // namespace quillmere
