#pragma once

// The hosts as this platform has them: running applications, their windows and accessibility
// trees, and how they react to actions, keys and clicks, all loaded from a fixture file (format:
// docs/simulated-desktop.md).
//
// It is at once the accessibility backend, the event poster, the window list and the workspace,
// so a test (or the application, given QUILLMERE_SIMULATED_DESKTOP) installs one object and
// every platform call lands on it. Delayed reactions run on the Scheduler it was given. Every
// action, attribute set, key, mouse event and activation goes to its journal.

#include "platform/accessibility/Backend.h"
#include "platform/events/EventPoster.h"
#include "platform/events/WindowList.h"
#include "platform/simulated/Behaviour.h"
#include "platform/simulated/Journal.h"
#include "platform/tasks/Scheduler.h"
#include "platform/workspace/Workspace.h"

#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace quillmere::sim {

// A fixture that cannot be loaded. The message names the offending field by its path, for
// example "apps[0].windows[1].children[3].frame: expected four numbers".
class FixtureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class DesktopFixture;

class SimulatedDesktop final : public Workspace, public ax::Backend, public EventPoster, public WindowList {
    Q_OBJECT
public:
    // The variable naming the fixture the application and the probe load.
    static constexpr const char* environmentVariable = "QUILLMERE_SIMULATED_DESKTOP";

    // The largest fixture file read.
    static constexpr qint64 maximumFixtureBytes = 256LL * 1024 * 1024;

    // Throws FixtureError for unreadable files (a FIFO or other non-regular file included, and
    // one larger than maximumFixtureBytes), malformed JSON and invalid fixtures.
    static std::unique_ptr<SimulatedDesktop> fromJson(const QByteArray& json,
                                                      Scheduler& scheduler = Scheduler::current());
    static std::unique_ptr<SimulatedDesktop> fromFile(const QString& path,
                                                      Scheduler& scheduler = Scheduler::current());
    // The desktop named by the environment variable, installed; none (and nothing installed)
    // when the variable is unset. A fixture that fails to load is reported in `error`.
    static std::unique_ptr<SimulatedDesktop> installFromEnvironment(QString* error = nullptr);

    explicit SimulatedDesktop(Scheduler& scheduler = Scheduler::current());
    ~SimulatedDesktop() override;

    // Makes this desktop the current backend, event poster, window list and workspace.
    void install();
    // Restores the defaults, when this desktop is the one installed.
    void uninstall();

    // --- accessibility
    ax::Error copyAttributeValue(const ax::Element& element, const QString& attribute,
                                 ax::Value& value) override;
    void copyMultipleAttributeValues(const ax::Element& element, const QString* attributes, std::size_t count,
                                     ax::Value* values, ax::Error* errors) override;
    ax::Error copyAttributeValues(const ax::Element& element, const QString& attribute, qsizetype index,
                                  qsizetype maxValues, ax::Value& values) override;
    ax::Error attributeValueCount(const ax::Element& element, const QString& attribute,
                                  qsizetype& count) override;
    ax::Error copyAttributeNames(const ax::Element& element, ax::Value& names) override;
    ax::Error copyActionNames(const ax::Element& element, ax::Value& names) override;
    ax::Error performAction(const ax::Element& element, const QString& action) override;
    ax::Error setAttributeValue(const ax::Element& element, const QString& attribute,
                                const ax::Value& value) override;
    ax::Element applicationElement(qint32 pid) override;
    ax::Element systemWideElement() override;
    ax::Error pid(const ax::Element& element, qint32& pid) override;
    bool isProcessTrusted(bool prompt) override;

    // --- events
    std::optional<KeyEvent> createKeyboardEvent(quint16 virtualKey, bool keyDown) override;
    void postToPid(qint32 pid, const KeyEvent& event) override;
    std::optional<MouseEvent> createMouseEvent(MouseEventType type, QPointF location) override;
    void post(const MouseEvent& event) override;
    std::optional<QPointF> pointerLocation() override;

    // --- window list
    QList<QVariantMap> copyWindowInfo(int options) override;

    // --- workspace
    QList<RunningApplication> runningApplications() const override;
    bool activate(qint32 pid) override;
    // Ends the application: its elements go stale and observers hear of it.
    void terminate(qint32 pid);
    void hide(qint32 pid);
    void changeActiveSpace();

    // --- for tests
    Journal& journal() { return journal_; }
    const Journal& journal() const { return journal_; }
    Scheduler& scheduler() const { return scheduler_; }
    void setTrusted(bool trusted) { trusted_ = trusted; }
    void setHashCollisions(bool on) { hashCollisions_ = on; }
    void setEventCreationFails(bool keys, bool mouse) {
        failKeyEvents_ = keys;
        failMouseEvents_ = mouse;
    }
    // A fresh handle for the live node with fixture id `id` (the newest when several share it);
    // the null element when there is none.
    ax::Element element(const QString& id) const;
    // The fixture id of the node an element names ("" when none).
    QString idOf(const ax::Element& element) const;
    bool isLive(const QString& id) const;
    // The application's focused element, null when none.
    ax::Element focusedElement(qint32 pid) const;
    std::optional<QPointF> pointer() const { return pointer_; }

    // Backend calls counted per kind, and the attribute reads of each node.
    struct CallCounts {
        quint64 attributeReads = 0;
        quint64 actionNameReads = 0;
        quint64 attributeNameReads = 0;
        quint64 actions = 0;
        quint64 attributeSets = 0;
        // The elements handed out in lists of children, whole or in part.
        quint64 listedChildren = 0;
    };
    CallCounts callCounts() const { return counts_; }
    // The largest number of attribute reads any one node has had since the last reset.
    quint64 maxReadsPerNode() const;
    void resetCallCounts();

    // Builds nodes by hand: a new node as the last child of node `parent`, returning its node
    // number. Fixtures are the usual way; this serves generated trees such as benchmarks'.
    quint64 addNode(quint64 parent, qint32 pid, const QString& id, QMap<QString, ax::Value> attributes);
    quint64 addApplication(qint32 pid, std::optional<QString> bundleID, std::optional<QString> name,
                           bool active);
    quint64 addWindow(qint32 pid, const QString& id, QMap<QString, ax::Value> attributes);

private:
    friend class DesktopFixture;
    friend class DesktopFixtureBuilder;
    friend class DesktopFixtureLoader;

    struct Node {
        quint64 id = 0;
        QString name;
        qint32 pid = 0;
        quint64 parent = 0;
        bool live = true;
        bool isApplication = false;
        bool isWindow = false;
        // Whether closing menus (and Escape) removes this instance root.
        bool closesAsMenu = false;
        // A node has a handful of attributes: a flat list scanned by name beats hashing the
        // name on every read (most reads ask for an attribute the element lacks). A value is
        // stored as the ax::Value a read hands out, so a read is an implicitly shared copy.
        std::vector<std::pair<QString, ax::Value>> attributes;
        // The signatures of the stored names, one bit each: a name whose bit is not set is not
        // stored, which settles most reads without comparing a single name.
        quint64 storedNames = 0;
        void setAttribute(const QString& name, ax::Value value);
        const ax::Value* attribute(const QString& name) const {
            if (!(storedNames & signature(name)))
                return nullptr;
            for (const auto& [key, stored] : attributes)
                if (sameName(key, name))
                    return &stored;
            return nullptr;
        }
        // One of 64 bits for a name, from its length and two of its characters; equal names
        // always get the same bit.
        Q_ALWAYS_INLINE static quint64 signature(const QString& name) {
            const qsizetype n = name.size();
            if (n == 0)
                return 1;
            const char16_t* text = reinterpret_cast<const char16_t*>(name.constData());
            return quint64(1) << ((quint64(n) * 5 + quint64(text[n - 1]) * 3 + quint64(text[n / 2])) & 63);
        }
        // Attribute names are short and differ early (after their common "AX"): equal lengths are
        // rare, and then a plain loop from the back decides sooner than a library compare.
        Q_ALWAYS_INLINE static bool sameName(const QString& a, const QString& b) {
            const qsizetype n = a.size();
            if (n != b.size())
                return false;
            const QChar* x = a.constData();
            const QChar* y = b.constData();
            if (x == y)
                return true;
            for (qsizetype i = n - 1; i >= 0; --i)
                if (x[i] != y[i])
                    return false;
            return true;
        }
        // The stored value, or null when the node lacks the attribute.
        ax::Value valueOf(const QString& name) const {
            const ax::Value* stored = attribute(name);
            return stored ? *stored : ax::Value();
        }
        QList<quint64> children;
        QList<QPair<QString, QList<quint64>>> childLists;
        QHash<QString, ax::Error> readErrors;
        QHash<QString, ax::Error> setErrors;
        QStringList actionNames;
        QHash<QString, Behaviours> actions;
        QHash<int, Behaviours> keys;
        std::optional<Behaviours> click;
        quint64 reads = 0;
    };

    struct WindowInfo {
        quint64 node = 0;
        int layer = 0;
        bool onScreen = true;
        qint64 number = 0;
        QVariantMap overrides;
    };

    struct App {
        qint32 pid = 0;
        std::optional<QString> bundleID;
        std::optional<QString> name;
        bool hidden = false;
        bool activates = true;
        bool running = true;
        quint64 node = 0;
        QList<WindowInfo> windows;
        quint64 focusedWindow = 0;
        quint64 focused = 0;
        Behaviours escape;
        QHash<int, Behaviours> keys;
        // Open template instances (menus, popovers, dialogs), oldest first.
        QList<quint64> openInstances;
    };

    struct Template {
        QJsonObject tree;
        QString path;
    };

    // The number the next node made will get.
    quint64 nextNodeId() const;
    Node* node(quint64 id);
    const Node* node(quint64 id) const;
    Node* liveNode(const ax::Element& element, ax::Error& error);
    // The live node a call on `element` may act on; none, with the reason in `error`, when the
    // process is not trusted or the element is gone.
    Node* callableNode(const ax::Element& element, ax::Error& error);
    // The journal entry of one call on an element, and its recording with the call's result.
    JournalEntry elementEntry(JournalEntry::Kind kind, const QString& name, const ax::Element& element) const;
    ax::Error recorded(JournalEntry& entry, ax::Error result);
    Node* readableNode(const ax::Element& element, ax::Error& error);
    // One attribute of a live node, the read already counted.
    ax::Error nodeAttribute(Node& self, const QString& attribute, ax::Value& value);
    // The live elements of `ids` from the `index`-th live one on, at most `maxValues`, counted as
    // handed out.
    ax::Value liveChildren(const QList<quint64>& ids, qsizetype index, qsizetype maxValues);
    // The list of children `attribute` names on `n` when it is one the node makes (not stored,
    // not forced to fail); none otherwise.
    const QList<quint64>* childList(const Node& n, const QString& attribute) const;
    ax::Error systemWideAttribute(const QString& attribute, ax::Value& value);
    App* app(qint32 pid);
    const App* app(qint32 pid) const;
    App* activeApp();
    ax::Element handle(quint64 id) const;
    ax::Value refreshed(const ax::Value& value) const;
    quint64 windowOf(quint64 id) const;
    quint64 resolveTarget(const QString& target, quint64 self) const;
    quint64 newestNamed(const QString& name) const;

    void run(const Behaviours& behaviours, quint64 self);
    void apply(const Behaviour& behaviour, quint64 self);
    void detachSubtree(quint64 id);
    void closeMenus(qint32 pid);
    void deliverKey(App& app, quint16 key);
    quint64 hitTest(QPointF point) const;
    quint64 deepestAt(quint64 id, QPointF point) const;
    void click(quint64 id);
    void record(JournalEntry entry);

    Scheduler& scheduler_;
    quint64 tag_;
    std::vector<Node> nodes_;
    QHash<QString, QList<quint64>> named_;
    QList<App> apps_;
    // Where each pid's application is in apps_ (applications are never removed).
    QHash<qint32, qsizetype> appIndex_;
    QHash<QString, Template> templates_;
    QList<QVariantMap> extraWindowInfo_;
    QSet<Scheduler::TimerID> pending_;
    Journal journal_;
    CallCounts counts_;
    std::optional<QPointF> pointer_ = QPointF(0, 0);
    quint64 mouseDownNode_ = 0;
    bool trusted_ = true;
    bool hashCollisions_ = false;
    bool failKeyEvents_ = false;
    bool failMouseEvents_ = false;
    bool failPointer_ = false;
    bool installed_ = false;
    qint32 activePid_ = 0;
};

} // namespace quillmere::sim
