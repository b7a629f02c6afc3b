#include "platform/simulated/SimulatedDesktop.h"

#include "platform/files/RegularFile.h"
#include "platform/simulated/DesktopFixture.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMutex>
#include <QRectF>
#include <QSet>
#include <QtDebug>
#include <algorithm>
#include <atomic>

namespace quillmere::sim {

namespace {

constexpr quint64 kSystemWide = 1;
constexpr quint64 kFirstNode = 2;
// Application elements of processes that do not run; reads on them cannot complete.
constexpr quint64 kUnknownApplication = 0x8000'0000'0000'0000ULL;
// The bucket every element lands in when collisions are forced.
constexpr std::size_t kCollidingHash = 0x5eed;

quint64 nextTag() {
    static std::atomic<quint64> tags{0};
    return ++tags;
}

const QString kChildren = QStringLiteral("AXChildren");
const QString kParent = QStringLiteral("AXParent");
const QString kRole = QStringLiteral("AXRole");
const QString kTitle = QStringLiteral("AXTitle");
const QString kFocused = QStringLiteral("AXFocused");
const QString kWindows = QStringLiteral("AXWindows");
const QString kFocusedWindow = QStringLiteral("AXFocusedWindow");
const QString kMainWindow = QStringLiteral("AXMainWindow");
const QString kFocusedUIElement = QStringLiteral("AXFocusedUIElement");
const QString kFocusedApplication = QStringLiteral("AXFocusedApplication");
const QString kPosition = QStringLiteral("AXPosition");
const QString kSize = QStringLiteral("AXSize");
const QString kMinimized = QStringLiteral("AXMinimized");
const QString kDocument = QStringLiteral("AXDocument");
const QString kFrontmost = QStringLiteral("AXFrontmost");
// Pseudo-attribute names under which fixtures force errors on the two name listings.
const QString kAttributeNamesError = QStringLiteral("$attributeNames");
const QString kActionNamesError = QStringLiteral("$actionNames");

bool containsFail(const Behaviours& behaviours, ax::Error* error = nullptr) {
    for (const Behaviour& b : behaviours)
        if (b.kind == Behaviour::Kind::fail) {
            if (error)
                *error = b.error;
            return true;
        }
    return false;
}

} // namespace

// ------------------------------------------------------------------------------------------
// Construction and installation

SimulatedDesktop::SimulatedDesktop(Scheduler& scheduler) : scheduler_(scheduler), tag_(nextTag()) {}

SimulatedDesktop::~SimulatedDesktop() {
    for (Scheduler::TimerID id : std::as_const(pending_))
        scheduler_.cancel(id);
    uninstall();
}

std::unique_ptr<SimulatedDesktop> SimulatedDesktop::fromJson(const QByteArray& json, Scheduler& scheduler) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw FixtureError(QStringLiteral("not valid JSON at offset %1: %2")
                               .arg(parseError.offset)
                               .arg(parseError.errorString())
                               .toStdString());
    if (!document.isObject())
        throw FixtureError("the fixture must be a JSON object");
    auto desktop = std::make_unique<SimulatedDesktop>(scheduler);
    DesktopFixture::load(*desktop, document.object());
    return desktop;
}

std::unique_ptr<SimulatedDesktop> SimulatedDesktop::fromFile(const QString& path, Scheduler& scheduler) {
    // The path comes from the environment: a FIFO or device there must not stop the start.
    const RegularFile::Contents contents = RegularFile::read(path, maximumFixtureBytes);
    if (!contents.bytes) {
        const QString reason =
            contents.systemError.isEmpty() ? RegularFile::describe(contents.problem) : contents.systemError;
        throw FixtureError(QStringLiteral("cannot read %1: %2").arg(path, reason).toStdString());
    }
    try {
        return fromJson(*contents.bytes, scheduler);
    } catch (const FixtureError& error) {
        throw FixtureError(
            QStringLiteral("%1: %2").arg(path, QString::fromStdString(error.what())).toStdString());
    }
}

std::unique_ptr<SimulatedDesktop> SimulatedDesktop::installFromEnvironment(QString* error) {
    const QString path = qEnvironmentVariable(environmentVariable);
    if (path.isEmpty())
        return nullptr;
    try {
        auto desktop = fromFile(path);
        desktop->install();
        return desktop;
    } catch (const FixtureError& failure) {
        if (error)
            *error = QString::fromStdString(failure.what());
        return nullptr;
    }
}

void SimulatedDesktop::install() {
    ax::Backend::setCurrent(this);
    EventPoster::setCurrent(this);
    WindowList::setCurrent(this);
    Workspace::setCurrent(this);
    installed_ = true;
}

void SimulatedDesktop::uninstall() {
    if (!installed_)
        return;
    if (&ax::Backend::current() == this)
        ax::Backend::setCurrent(nullptr);
    if (&EventPoster::current() == this)
        EventPoster::setCurrent(nullptr);
    if (&WindowList::current() == this)
        WindowList::setCurrent(nullptr);
    if (&Workspace::current() == this)
        Workspace::setCurrent(nullptr);
    installed_ = false;
}

// ------------------------------------------------------------------------------------------
// Nodes

namespace {

// One shared copy of each attribute name and text value, kept for the life of the process and
// handed out as a view of that copy: a desktop of thousands of elements names the same few roles
// and attributes over and over, and a view is copied and dropped without touching a reference
// count, as the host's own constant strings are.
QString interned(const QString& text) {
    static QMutex mutex;
    static QSet<QString> views;
    static std::vector<QString> copies; // what the views show; never changed or freed
    const QMutexLocker lock(&mutex);
    if (const auto found = views.constFind(text); found != views.constEnd())
        return *found;
    QString copy(text.constData(), text.size());
    const QString view = QString::fromRawData(copy.constData(), copy.size());
    copies.push_back(std::move(copy));
    views.insert(view);
    return view;
}

} // namespace

void SimulatedDesktop::Node::setAttribute(const QString& name, ax::Value value) {
    if (const QString* text = value.string())
        value = ax::Value(interned(*text));
    for (auto& [key, stored] : attributes)
        if (key == name) {
            stored = std::move(value);
            return;
        }
    attributes.emplace_back(interned(name), std::move(value));
    storedNames |= signature(name);
}

quint64 SimulatedDesktop::nextNodeId() const {
    return kFirstNode + nodes_.size();
}

SimulatedDesktop::Node* SimulatedDesktop::node(quint64 id) {
    if (id < kFirstNode || id - kFirstNode >= nodes_.size())
        return nullptr;
    return &nodes_[id - kFirstNode];
}

const SimulatedDesktop::Node* SimulatedDesktop::node(quint64 id) const {
    if (id < kFirstNode || id - kFirstNode >= nodes_.size())
        return nullptr;
    return &nodes_[id - kFirstNode];
}

SimulatedDesktop::Node* SimulatedDesktop::liveNode(const ax::Element& element, ax::Error& error) {
    if (element.backendTag() != tag_) {
        error = ax::Error::illegalArgument;
        return nullptr;
    }
    Node* found = node(element.node());
    if (!found) {
        error =
            (element.node() & kUnknownApplication) ? ax::Error::cannotComplete : ax::Error::illegalArgument;
        return nullptr;
    }
    if (!found->live) {
        error = ax::Error::invalidUIElement;
        return nullptr;
    }
    return found;
}

SimulatedDesktop::App* SimulatedDesktop::app(qint32 pid) {
    const auto found = appIndex_.constFind(pid);
    return found == appIndex_.constEnd() ? nullptr : &apps_[found.value()];
}

const SimulatedDesktop::App* SimulatedDesktop::app(qint32 pid) const {
    const auto found = appIndex_.constFind(pid);
    return found == appIndex_.constEnd() ? nullptr : &apps_[found.value()];
}

SimulatedDesktop::App* SimulatedDesktop::activeApp() {
    App* a = app(activePid_);
    return a && a->running ? a : nullptr;
}

ax::Element SimulatedDesktop::handle(quint64 id) const {
    const Node* n = node(id);
    const std::size_t hash = hashCollisions_ ? kCollidingHash : std::hash<quint64>{}(id);
    return ax::Element::make(tag_, id, n ? n->pid : 0, hash);
}

ax::Value SimulatedDesktop::refreshed(const ax::Value& value) const {
    if (const ax::Element* e = value.element())
        return e->backendTag() == tag_ ? ax::Value(handle(e->node())) : value;
    if (const ax::Value::List* list = value.list()) {
        ax::Value::List copy;
        copy.reserve(list->size());
        for (const ax::Value& item : *list)
            copy.push_back(refreshed(item));
        return ax::Value(std::move(copy));
    }
    return value;
}

quint64 SimulatedDesktop::newestNamed(const QString& name) const {
    const auto found = named_.constFind(name);
    if (found == named_.constEnd())
        return 0;
    for (auto it = found->crbegin(); it != found->crend(); ++it)
        if (const Node* n = node(*it); n && n->live)
            return *it;
    return found->isEmpty() ? 0 : found->last();
}

quint64 SimulatedDesktop::windowOf(quint64 id) const {
    for (const Node* n = node(id); n; n = node(n->parent))
        if (n->isWindow)
            return n->id;
    return 0;
}

quint64 SimulatedDesktop::resolveTarget(const QString& target, quint64 self) const {
    if (target.isEmpty() || target == u"$self")
        return self;
    if (target == u"$window")
        return windowOf(self);
    if (target == u"$app") {
        const Node* n = node(self);
        const App* a = n ? app(n->pid) : nullptr;
        return a ? a->node : 0;
    }
    return newestNamed(target);
}

ax::Element SimulatedDesktop::element(const QString& id) const {
    const quint64 found = newestNamed(id);
    const Node* n = node(found);
    return n && n->live ? handle(found) : ax::Element();
}

QString SimulatedDesktop::idOf(const ax::Element& element) const {
    if (element.backendTag() != tag_)
        return {};
    const Node* n = node(element.node());
    return n ? n->name : QString();
}

bool SimulatedDesktop::isLive(const QString& id) const {
    const Node* n = node(newestNamed(id));
    return n && n->live;
}

ax::Element SimulatedDesktop::focusedElement(qint32 pid) const {
    const App* a = app(pid);
    if (!a)
        return {};
    const Node* n = node(a->focused);
    return n && n->live ? handle(a->focused) : ax::Element();
}

quint64 SimulatedDesktop::addNode(quint64 parent, qint32 pid, const QString& id,
                                  QMap<QString, ax::Value> attributes) {
    Node created;
    created.id = kFirstNode + nodes_.size();
    created.name = id;
    created.pid = pid;
    created.parent = parent;
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        created.setAttribute(it.key(), it.value());
    nodes_.push_back(std::move(created));
    const quint64 newId = nodes_.back().id;
    if (Node* p = node(parent))
        p->children.append(newId);
    if (!id.isEmpty())
        named_[id].append(newId);
    return newId;
}

quint64 SimulatedDesktop::addApplication(qint32 pid, std::optional<QString> bundleID,
                                         std::optional<QString> name, bool active) {
    App a;
    a.pid = pid;
    a.bundleID = std::move(bundleID);
    a.name = std::move(name);
    a.node = addNode(0, pid, QString(), {{kRole, ax::Value("AXApplication")}});
    node(a.node)->isApplication = true;
    if (active)
        activePid_ = pid;
    // The first application of a pid is the one found by it, as a walk of the list would find.
    if (!appIndex_.contains(pid))
        appIndex_.insert(pid, apps_.size());
    apps_.append(std::move(a));
    return apps_.last().node;
}

quint64 SimulatedDesktop::addWindow(qint32 pid, const QString& id, QMap<QString, ax::Value> attributes) {
    App* a = app(pid);
    if (!a)
        return 0;
    if (!attributes.contains(kRole))
        attributes.insert(kRole, ax::Value("AXWindow"));
    const quint64 window = addNode(a->node, pid, id, std::move(attributes));
    node(window)->isWindow = true;
    a = app(pid);
    WindowInfo info;
    info.node = window;
    info.number = qint64(window);
    a->windows.append(info);
    if (!a->focusedWindow)
        a->focusedWindow = window;
    return window;
}

// ------------------------------------------------------------------------------------------
// Accessibility

ax::Error SimulatedDesktop::systemWideAttribute(const QString& attribute, ax::Value& value) {
    App* a = activeApp();
    if (attribute == kRole) {
        value = ax::Value("AXSystemWide");
        return ax::Error::success;
    }
    if (attribute == kFocusedApplication) {
        if (!a)
            return ax::Error::noValue;
        value = handle(a->node);
        return ax::Error::success;
    }
    if (attribute == kFocusedUIElement) {
        const Node* focused = a ? node(a->focused) : nullptr;
        if (!focused || !focused->live)
            return ax::Error::noValue;
        value = handle(focused->id);
        return ax::Error::success;
    }
    return ax::Error::attributeUnsupported;
}

SimulatedDesktop::Node* SimulatedDesktop::readableNode(const ax::Element& element, ax::Error& error) {
    // The common case, a live node of this desktop, without the error bookkeeping.
    Node* n = element.backendTag() == tag_ ? node(element.node()) : nullptr;
    if (n && n->live)
        return n;
    return liveNode(element, error);
}

ax::Error SimulatedDesktop::copyAttributeValue(const ax::Element& element, const QString& attribute,
                                               ax::Value& value) {
    value = ax::Value();
    ++counts_.attributeReads;
    if (!trusted_)
        return ax::Error::apiDisabled;
    if (element.backendTag() == tag_ && element.node() == kSystemWide)
        return systemWideAttribute(attribute, value);
    ax::Error error = ax::Error::success;
    Node* n = readableNode(element, error);
    if (!n)
        return error;
    ++n->reads;
    return nodeAttribute(*n, attribute, value);
}

void SimulatedDesktop::copyMultipleAttributeValues(const ax::Element& element, const QString* attributes,
                                                   std::size_t count, ax::Value* values, ax::Error* errors) {
    // One request, but every attribute in it counts as a read, as it does one by one.
    counts_.attributeReads += count;
    const auto fill = [&](ax::Error error) {
        std::fill(values, values + count, ax::Value());
        std::fill(errors, errors + count, error);
    };
    if (!trusted_)
        return fill(ax::Error::apiDisabled);
    if (element.backendTag() == tag_ && element.node() == kSystemWide) {
        for (std::size_t i = 0; i < count; ++i) {
            values[i] = ax::Value();
            errors[i] = systemWideAttribute(attributes[i], values[i]);
        }
        return;
    }
    ax::Error error = ax::Error::success;
    Node* n = readableNode(element, error);
    if (!n)
        return fill(error);
    n->reads += count;
    // A plain element (no forced errors, no extra child lists, not an application) answers only
    // for its stored attributes and the three every element has: a name whose signature matches
    // none of these is settled without comparing names, as most names in a request are.
    static const quint64 everyElement =
        Node::signature(kParent) | Node::signature(kChildren) | Node::signature(kFocused);
    const bool plain = n->readErrors.isEmpty() && n->childLists.isEmpty() && !n->isApplication;
    const quint64 answered = plain ? n->storedNames | everyElement : ~quint64(0);
    // A read that fails leaves no value; one that succeeds replaces whatever the buffer held.
    for (std::size_t i = 0; i < count; ++i) {
        errors[i] = answered & Node::signature(attributes[i]) ? nodeAttribute(*n, attributes[i], values[i])
                                                              : ax::Error::attributeUnsupported;
        if (errors[i] != ax::Error::success && !values[i].isNull())
            values[i].clear();
    }
}

ax::Value SimulatedDesktop::liveChildren(const QList<quint64>& ids, qsizetype index, qsizetype maxValues) {
    ax::Value::List list;
    list.reserve(std::size_t(std::clamp(maxValues, qsizetype(0), ids.size())));
    for (quint64 id : ids) {
        if (qsizetype(list.size()) >= maxValues)
            break;
        if (const Node* child = node(id); child && child->live && index-- <= 0)
            list.emplace_back(handle(id));
    }
    counts_.listedChildren += list.size();
    return ax::Value(std::move(list));
}

ax::Error SimulatedDesktop::copyAttributeValues(const ax::Element& element, const QString& attribute,
                                                qsizetype index, qsizetype maxValues, ax::Value& values) {
    values = ax::Value();
    ++counts_.attributeReads;
    if (!trusted_)
        return ax::Error::apiDisabled;
    ax::Value whole;
    if (element.backendTag() == tag_ && element.node() == kSystemWide) {
        if (const ax::Error error = systemWideAttribute(attribute, whole); error != ax::Error::success)
            return error;
        return ax::listPart(whole, index, maxValues, values);
    }
    ax::Error error = ax::Error::success;
    Node* n = readableNode(element, error);
    if (!n)
        return error;
    ++n->reads;
    // A list of children is made only as far as asked; any other value is read whole and cut.
    if (const QList<quint64>* ids = childList(*n, attribute)) {
        if (ids == &n->children) {
            // Every child of a live node is live (see attributeValueCount): the part is cut
            // without looking at the elements before it.
            ax::Value::List part;
            const qsizetype from = std::min(index, ids->size());
            for (quint64 id : ids->mid(from, std::min(maxValues, ids->size() - from)))
                part.emplace_back(handle(id));
            counts_.listedChildren += part.size();
            values = ax::Value(std::move(part));
        } else {
            values = liveChildren(*ids, index, maxValues);
        }
        return ax::Error::success;
    }
    if (error = nodeAttribute(*n, attribute, whole); error != ax::Error::success)
        return error;
    return ax::listPart(whole, index, maxValues, values);
}

ax::Error SimulatedDesktop::attributeValueCount(const ax::Element& element, const QString& attribute,
                                                qsizetype& count) {
    count = 0;
    ++counts_.attributeReads;
    if (!trusted_)
        return ax::Error::apiDisabled;
    ax::Value whole;
    ax::Error error = ax::Error::success;
    if (element.backendTag() == tag_ && element.node() == kSystemWide) {
        error = systemWideAttribute(attribute, whole);
    } else if (Node* n = readableNode(element, error)) {
        ++n->reads;
        if (const QList<quint64>* ids = childList(*n, attribute)) {
            // Counted without handing any element over. A node leaves its parent's children when it
            // goes, and otherwise goes only with its parent: the children of a live node are all
            // live. Another list may still name an element gone since.
            count = ids == &n->children ? ids->size()
                                        : std::count_if(ids->begin(), ids->end(), [this](quint64 id) {
                                              const Node* child = node(id);
                                              return child && child->live;
                                          });
            return ax::Error::success;
        }
        error = nodeAttribute(*n, attribute, whole);
    }
    if (error != ax::Error::success)
        return error;
    if (!whole.list())
        return ax::Error::illegalArgument;
    count = qsizetype(whole.list()->size());
    return ax::Error::success;
}

const QList<quint64>* SimulatedDesktop::childList(const Node& n, const QString& attribute) const {
    if (n.isApplication || n.readErrors.contains(attribute) || n.attribute(attribute))
        return nullptr;
    if (Node::sameName(attribute, kChildren))
        return &n.children;
    for (const auto& [name, listed] : n.childLists)
        if (Node::sameName(name, attribute))
            return &listed;
    return nullptr;
}

ax::Error SimulatedDesktop::nodeAttribute(Node& self, const QString& attribute, ax::Value& value) {
    Node* const n = &self;
    if (!n->readErrors.isEmpty())
        if (const auto forced = n->readErrors.constFind(attribute); forced != n->readErrors.constEnd())
            return *forced;
    if (const ax::Value* stored = n->attribute(attribute)) {
        // Only elements (and lists holding them) are handed out as fresh handles; anything else
        // is the stored value itself, shared.
        if (stored->element() || stored->list())
            value = refreshed(*stored);
        else
            value = *stored;
        return ax::Error::success;
    }

    auto liveList = [this](const QList<quint64>& ids) { return liveChildren(ids, 0, ids.size()); };

    if (Node::sameName(attribute, kParent)) {
        if (!n->parent)
            return ax::Error::noValue;
        value = handle(n->parent);
        return ax::Error::success;
    }
    if (Node::sameName(attribute, kChildren)) {
        value = liveList(n->children);
        return ax::Error::success;
    }
    for (const auto& [name, ids] : std::as_const(n->childLists))
        if (Node::sameName(name, attribute)) {
            value = liveList(ids);
            return ax::Error::success;
        }
    if (n->isApplication) {
        const App* a = app(n->pid);
        if (Node::sameName(attribute, kWindows)) {
            QList<quint64> ids;
            for (const WindowInfo& w : a->windows)
                ids.append(w.node);
            value = liveList(ids);
            return ax::Error::success;
        }
        if (Node::sameName(attribute, kFocusedWindow) || Node::sameName(attribute, kMainWindow) ||
            Node::sameName(attribute, kFocusedUIElement)) {
            const quint64 id = Node::sameName(attribute, kFocusedUIElement) ? a->focused : a->focusedWindow;
            const Node* target = node(id);
            if (!target || !target->live)
                return ax::Error::noValue;
            value = handle(id);
            return ax::Error::success;
        }
        if (Node::sameName(attribute, kTitle) && a->name) {
            value = ax::Value(*a->name);
            return ax::Error::success;
        }
        if (Node::sameName(attribute, kFrontmost)) {
            value = ax::Value(activePid_ == a->pid);
            return ax::Error::success;
        }
    }
    if (Node::sameName(attribute, kFocused)) {
        const App* a = app(n->pid);
        value = ax::Value(a && a->focused == n->id);
        return ax::Error::success;
    }
    return ax::Error::attributeUnsupported;
}

ax::Error SimulatedDesktop::copyAttributeNames(const ax::Element& element, ax::Value& names) {
    names = ax::Value();
    ++counts_.attributeNameReads;
    if (!trusted_)
        return ax::Error::apiDisabled;
    if (element.backendTag() == tag_ && element.node() == kSystemWide) {
        names = ax::Value::strings({kRole, kFocusedApplication, kFocusedUIElement});
        return ax::Error::success;
    }
    ax::Error error = ax::Error::success;
    Node* n = liveNode(element, error);
    if (!n)
        return error;
    if (const auto forced = n->readErrors.constFind(kAttributeNamesError); forced != n->readErrors.constEnd())
        return *forced;
    QStringList list;
    for (const auto& attribute : n->attributes)
        list << attribute.first;
    list << kParent << kChildren << kFocused;
    for (const auto& entry : std::as_const(n->childLists))
        list << entry.first;
    if (n->isApplication)
        list << kWindows << kFocusedWindow << kMainWindow << kFocusedUIElement << kTitle << kFrontmost;
    list.removeDuplicates();
    list.sort();
    names = ax::Value::strings(list);
    return ax::Error::success;
}

ax::Error SimulatedDesktop::copyActionNames(const ax::Element& element, ax::Value& names) {
    names = ax::Value();
    ++counts_.actionNameReads;
    if (!trusted_)
        return ax::Error::apiDisabled;
    ax::Error error = ax::Error::success;
    Node* n = liveNode(element, error);
    if (!n)
        return error;
    if (const auto forced = n->readErrors.constFind(kActionNamesError); forced != n->readErrors.constEnd())
        return *forced;
    names = ax::Value::strings(n->actionNames);
    return ax::Error::success;
}

JournalEntry SimulatedDesktop::elementEntry(JournalEntry::Kind kind, const QString& name,
                                            const ax::Element& element) const {
    JournalEntry entry;
    entry.kind = kind;
    entry.name = name;
    entry.node = idOf(element);
    entry.pid = element.recordedPid();
    return entry;
}

ax::Error SimulatedDesktop::recorded(JournalEntry& entry, ax::Error result) {
    entry.result = result;
    record(entry);
    return result;
}

SimulatedDesktop::Node* SimulatedDesktop::callableNode(const ax::Element& element, ax::Error& error) {
    if (!trusted_) {
        error = ax::Error::apiDisabled;
        return nullptr;
    }
    return liveNode(element, error);
}

ax::Error SimulatedDesktop::performAction(const ax::Element& element, const QString& action) {
    ++counts_.actions;
    JournalEntry entry = elementEntry(JournalEntry::Kind::action, action, element);
    const auto finish = [&](ax::Error result) { return recorded(entry, result); };
    ax::Error error = ax::Error::success;
    Node* n = callableNode(element, error);
    if (!n)
        return finish(error);
    if (!n->actionNames.contains(action))
        return finish(ax::Error::actionUnsupported);
    const Behaviours behaviours = n->actions.value(action);
    if (ax::Error failure; containsFail(behaviours, &failure))
        return finish(failure);
    const quint64 self = n->id;
    finish(ax::Error::success);
    run(behaviours, self);
    return ax::Error::success;
}

ax::Error SimulatedDesktop::setAttributeValue(const ax::Element& element, const QString& attribute,
                                              const ax::Value& value) {
    ++counts_.attributeSets;
    JournalEntry entry = elementEntry(JournalEntry::Kind::setAttribute, attribute, element);
    entry.detail = value.describe();
    const auto finish = [&](ax::Error result) { return recorded(entry, result); };
    ax::Error error = ax::Error::success;
    Node* n = callableNode(element, error);
    if (!n)
        return finish(error);
    if (const auto forced = n->setErrors.constFind(attribute); forced != n->setErrors.constEnd())
        return finish(*forced);
    if (attribute == kFocused) {
        const std::optional<bool> on = value.asBoolean();
        if (!on)
            return finish(ax::Error::illegalArgument);
        App* a = app(n->pid);
        if (*on)
            a->focused = n->id;
        else if (a->focused == n->id)
            a->focused = 0;
        return finish(ax::Error::success);
    }
    if (n->isApplication && attribute == kFrontmost) {
        const std::optional<bool> on = value.asBoolean();
        if (on && *on)
            activate(n->pid);
        return finish(ax::Error::success);
    }
    if (attribute == kParent || attribute == kChildren)
        return finish(ax::Error::attributeUnsupported);
    n->setAttribute(attribute, value);
    return finish(ax::Error::success);
}

ax::Element SimulatedDesktop::applicationElement(qint32 pid) {
    if (const App* a = app(pid); a && a->running)
        return handle(a->node);
    return ax::Element::make(tag_, kUnknownApplication | quint32(pid), pid,
                             hashCollisions_ ? kCollidingHash : std::size_t(pid));
}

ax::Element SimulatedDesktop::systemWideElement() {
    return ax::Element::make(tag_, kSystemWide, 0, hashCollisions_ ? kCollidingHash : 1);
}

ax::Error SimulatedDesktop::pid(const ax::Element& element, qint32& pid) {
    if (element.isNull() || element.backendTag() != tag_)
        return ax::Error::illegalArgument;
    pid = element.recordedPid();
    return ax::Error::success;
}

bool SimulatedDesktop::isProcessTrusted(bool prompt) {
    if (prompt && !trusted_) {
        JournalEntry entry;
        entry.kind = JournalEntry::Kind::trustPrompt;
        record(entry);
    }
    return trusted_;
}

quint64 SimulatedDesktop::maxReadsPerNode() const {
    quint64 most = 0;
    for (const Node& n : nodes_)
        most = std::max(most, n.reads);
    return most;
}

void SimulatedDesktop::resetCallCounts() {
    counts_ = {};
    for (Node& n : nodes_)
        n.reads = 0;
}

// ------------------------------------------------------------------------------------------
// Behaviours

void SimulatedDesktop::run(const Behaviours& behaviours, quint64 self) {
    for (const Behaviour& behaviour : behaviours) {
        if (behaviour.after <= 0) {
            apply(behaviour, self);
            continue;
        }
        auto id = std::make_shared<Scheduler::TimerID>(0);
        *id = scheduler_.schedule(behaviour.after, [this, behaviour, self, id] {
            pending_.remove(*id);
            apply(behaviour, self);
        });
        pending_.insert(*id);
    }
}

void SimulatedDesktop::apply(const Behaviour& behaviour, quint64 self) {
    try {
        switch (behaviour.kind) {
        case Behaviour::Kind::attach: {
            const quint64 under =
                resolveTarget(behaviour.under.isEmpty() ? QStringLiteral("$window") : behaviour.under, self);
            const Node* parent = node(under);
            if (!parent || !parent->live || !templates_.contains(behaviour.templateName)) {
                qWarning("simulated desktop: cannot attach %s", qPrintable(behaviour.templateName));
                return;
            }
            const qint32 pid = parent->pid;
            const Template& tmpl = templates_[behaviour.templateName];
            const quint64 root = DesktopFixture::instantiate(*this, tmpl.tree, under, pid, tmpl.path);
            if (App* a = app(pid))
                a->openInstances.append(root);
            return;
        }
        case Behaviour::Kind::detach:
            detachSubtree(resolveTarget(behaviour.target, self));
            return;
        case Behaviour::Kind::focus: {
            const quint64 target = resolveTarget(behaviour.target, self);
            if (const Node* n = node(target); n && n->live)
                if (App* a = app(n->pid))
                    a->focused = target;
            return;
        }
        case Behaviour::Kind::set: {
            Node* n = node(resolveTarget(behaviour.target, self));
            if (!n || !n->live)
                return;
            const quint64 id = n->id;
            const ax::Value value =
                DesktopFixture::convert(*this, behaviour.value, QStringLiteral("set.value"));
            n = node(id);
            if (behaviour.attribute == kFocused) {
                if (App* a = app(n->pid); a && value.asBoolean().value_or(false))
                    a->focused = id;
                return;
            }
            n->setAttribute(behaviour.attribute, value);
            return;
        }
        case Behaviour::Kind::closeMenus:
            if (const Node* n = node(self))
                closeMenus(n->pid);
            return;
        case Behaviour::Kind::changeConversation: {
            const quint64 window = resolveTarget(
                behaviour.target.isEmpty() ? QStringLiteral("$window") : behaviour.target, self);
            Node* n = node(window);
            if (!n || !n->live)
                return;
            if (!behaviour.title.isUndefined())
                n->setAttribute(kTitle,
                                DesktopFixture::convert(*this, behaviour.title, QStringLiteral("title")));
            if (!behaviour.document.isUndefined())
                n->setAttribute(kDocument, DesktopFixture::convert(*this, behaviour.document,
                                                                   QStringLiteral("document")));
            return;
        }
        case Behaviour::Kind::fail:
        case Behaviour::Kind::nothing:
            return;
        }
    } catch (const FixtureError& error) {
        // A behaviour runs long after loading; a bad one is reported, never fatal.
        qWarning("simulated desktop: %s", error.what());
    }
}

void SimulatedDesktop::detachSubtree(quint64 id) {
    Node* root = node(id);
    if (!root || !root->live || root->isApplication)
        return;
    const quint64 parentId = root->parent;
    if (Node* parent = node(parentId)) {
        parent->children.removeAll(id);
        for (auto& list : parent->childLists)
            list.second.removeAll(id);
    }
    App* a = app(root->pid);
    bool hadFocus = false;
    QList<quint64> stack{id};
    while (!stack.isEmpty()) {
        Node* n = node(stack.takeLast());
        if (!n->live)
            continue;
        n->live = false;
        if (a) {
            hadFocus = hadFocus || a->focused == n->id;
            a->openInstances.removeAll(n->id);
        }
        stack.append(n->children);
        // Elements listed only in another list of this one belong to it too.
        for (const auto& list : std::as_const(n->childLists))
            for (quint64 listed : list.second)
                if (const Node* other = node(listed); other && other->parent == n->id)
                    stack.append(listed);
    }
    // Focus returns to what the closed part hung from (a menu's control), as it does on closing
    // a menu; an application element takes no focus.
    if (a && hadFocus) {
        const Node* parent = node(parentId);
        a->focused = parent && parent->live && !parent->isApplication ? parentId : 0;
    }
}

void SimulatedDesktop::closeMenus(qint32 pid) {
    App* a = app(pid);
    if (!a)
        return;
    const QList<quint64> open = a->openInstances;
    for (quint64 id : open)
        if (const Node* n = node(id); n && n->live && n->closesAsMenu)
            detachSubtree(id);
}

// ------------------------------------------------------------------------------------------
// Events

std::optional<KeyEvent> SimulatedDesktop::createKeyboardEvent(quint16 virtualKey, bool keyDown) {
    if (failKeyEvents_)
        return std::nullopt;
    return KeyEvent{virtualKey, keyDown};
}

void SimulatedDesktop::postToPid(qint32 pid, const KeyEvent& event) {
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::key;
    entry.pid = pid;
    entry.name = QString::number(event.virtualKey);
    entry.detail = event.keyDown ? QStringLiteral("down") : QStringLiteral("up");
    App* a = app(pid);
    if (a)
        if (const Node* focused = node(a->focused); focused && focused->live)
            entry.node = focused->name;
    record(entry);
    if (a && a->running && event.keyDown)
        deliverKey(*a, event.virtualKey);
}

void SimulatedDesktop::deliverKey(App& a, quint16 key) {
    for (const Node* n = node(a.focused); n && n->live; n = node(n->parent)) {
        if (const auto bound = n->keys.constFind(key); bound != n->keys.constEnd()) {
            run(*bound, n->id);
            return;
        }
    }
    if (const auto bound = a.keys.constFind(key); bound != a.keys.constEnd()) {
        const quint64 self = a.focused ? a.focused : a.node;
        run(*bound, self);
        return;
    }
    if (key == virtualkey::escape) {
        for (auto it = a.openInstances.crbegin(); it != a.openInstances.crend(); ++it)
            if (const Node* n = node(*it); n && n->live && n->closesAsMenu) {
                detachSubtree(*it);
                return;
            }
    }
}

std::optional<MouseEvent> SimulatedDesktop::createMouseEvent(MouseEventType type, QPointF location) {
    if (failMouseEvents_)
        return std::nullopt;
    return MouseEvent{type, location};
}

void SimulatedDesktop::post(const MouseEvent& event) {
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::mouse;
    entry.point = event.location;
    pointer_ = event.location;
    switch (event.type) {
    case MouseEventType::mouseMoved:
        entry.name = QStringLiteral("moved");
        record(entry);
        return;
    case MouseEventType::leftMouseDown: {
        entry.name = QStringLiteral("down");
        mouseDownNode_ = hitTest(event.location);
        if (const Node* n = node(mouseDownNode_))
            entry.node = n->name;
        record(entry);
        return;
    }
    case MouseEventType::leftMouseUp: {
        entry.name = QStringLiteral("up");
        const quint64 hit = hitTest(event.location);
        if (const Node* n = node(hit))
            entry.node = n->name;
        record(entry);
        const quint64 pressed = mouseDownNode_;
        mouseDownNode_ = 0;
        if (hit && hit == pressed)
            click(hit);
        return;
    }
    }
}

std::optional<QPointF> SimulatedDesktop::pointerLocation() {
    if (failPointer_)
        return std::nullopt;
    return pointer_;
}

quint64 SimulatedDesktop::hitTest(QPointF point) const {
    const App* a = app(activePid_);
    if (!a || !a->running)
        return 0;
    // Menus and popovers float above the windows, the newest on top.
    for (auto it = a->openInstances.crbegin(); it != a->openInstances.crend(); ++it)
        if (const quint64 hit = deepestAt(*it, point))
            return hit;
    QList<quint64> windows;
    if (a->focusedWindow)
        windows.append(a->focusedWindow);
    for (const WindowInfo& w : a->windows)
        if (w.node != a->focusedWindow)
            windows.append(w.node);
    for (quint64 w : windows)
        if (const quint64 hit = deepestAt(w, point))
            return hit;
    return 0;
}

// The deepest element whose frame holds the point; among equally deep ones the later sibling,
// which is drawn over the earlier.
quint64 SimulatedDesktop::deepestAt(quint64 id, QPointF point) const {
    quint64 best = 0;
    int bestDepth = -1;
    QList<QPair<quint64, int>> stack{{id, 0}};
    while (!stack.isEmpty()) {
        const auto [current, depth] = stack.takeLast();
        const Node* n = node(current);
        if (!n || !n->live)
            continue;
        const std::optional<ax::Point> origin = n->valueOf(kPosition).point();
        const std::optional<ax::Size> size = n->valueOf(kSize).size();
        if (origin && size && depth >= bestDepth &&
            QRectF(origin->x, origin->y, size->width, size->height).contains(point)) {
            best = current;
            bestDepth = depth;
        }
        for (auto child = n->children.crbegin(); child != n->children.crend(); ++child)
            stack.append({*child, depth + 1});
    }
    return best;
}

void SimulatedDesktop::click(quint64 id) {
    for (const Node* n = node(id); n && n->live; n = node(n->parent)) {
        const quint64 self = n->id;
        if (n->click) {
            run(*n->click, self);
            return;
        }
        for (const QString& action : {QStringLiteral("AXPress"), QStringLiteral("AXPick")}) {
            if (!n->actionNames.contains(action))
                continue;
            const Behaviours behaviours = n->actions.value(action);
            // A control that refuses the accessibility action may still take a click, but only
            // when the fixture says so with an explicit click binding.
            if (!containsFail(behaviours))
                run(behaviours, self);
            return;
        }
    }
}

void SimulatedDesktop::record(JournalEntry entry) {
    entry.time = scheduler_.now();
    journal_.append(std::move(entry));
}

// ------------------------------------------------------------------------------------------
// Window list and workspace

QList<QVariantMap> SimulatedDesktop::copyWindowInfo(int options) {
    QList<const App*> order;
    if (const App* a = app(activePid_))
        order.append(a);
    for (const App& a : apps_)
        if (a.pid != activePid_)
            order.append(&a);

    QList<QVariantMap> entries;
    for (const App* a : std::as_const(order)) {
        if (!a->running)
            continue;
        for (const WindowInfo& w : a->windows) {
            const Node* n = node(w.node);
            const bool minimized = n && n->valueOf(kMinimized).asBoolean().value_or(false);
            const bool onScreen = w.onScreen && !a->hidden && n && n->live && !minimized;
            if ((options & windowinfo::optionOnScreenOnly) && !onScreen)
                continue;
            QVariantMap entry;
            entry.insert(windowinfo::ownerPID, a->pid);
            entry.insert(windowinfo::layer, w.layer);
            entry.insert(windowinfo::number, w.number);
            entry.insert(windowinfo::isOnscreen, onScreen);
            if (a->name)
                entry.insert(windowinfo::ownerName, *a->name);
            if (n) {
                const std::optional<ax::Point> origin = n->valueOf(kPosition).point();
                const std::optional<ax::Size> size = n->valueOf(kSize).size();
                if (origin && size)
                    entry.insert(windowinfo::bounds, QVariantMap{{QStringLiteral("X"), origin->x},
                                                                 {QStringLiteral("Y"), origin->y},
                                                                 {QStringLiteral("Width"), size->width},
                                                                 {QStringLiteral("Height"), size->height}});
                if (const ax::Value* title = n->attribute(kTitle); title && title->string())
                    entry.insert(windowinfo::name, *title->string());
            }
            for (auto it = w.overrides.constBegin(); it != w.overrides.constEnd(); ++it) {
                if (it.value().isValid())
                    entry.insert(it.key(), it.value());
                else
                    entry.remove(it.key());
            }
            entries.append(entry);
        }
    }
    entries.append(extraWindowInfo_);
    return entries;
}

QList<RunningApplication> SimulatedDesktop::runningApplications() const {
    QList<RunningApplication> list;
    for (const App& a : apps_) {
        if (!a.running)
            continue;
        list.append(RunningApplication{a.bundleID, a.name, a.pid, a.pid == activePid_, a.hidden});
    }
    return list;
}

bool SimulatedDesktop::activate(qint32 pid) {
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::activation;
    entry.pid = pid;
    App* a = app(pid);
    if (!a || !a->running || !a->activates) {
        entry.result = ax::Error::failure;
        record(entry);
        return false;
    }
    record(entry);
    a->hidden = false;
    const bool changed = activePid_ != pid;
    activePid_ = pid;
    if (changed)
        emit didActivateApplication(RunningApplication{a->bundleID, a->name, a->pid, true, false});
    return true;
}

void SimulatedDesktop::terminate(qint32 pid) {
    App* a = app(pid);
    if (!a || !a->running)
        return;
    a->running = false;
    const RunningApplication gone{a->bundleID, a->name, a->pid, false, a->hidden};
    for (Node& n : nodes_)
        if (n.pid == pid)
            n.live = false;
    a->openInstances.clear();
    if (activePid_ == pid)
        activePid_ = 0;
    emit didTerminateApplication(gone);
}

void SimulatedDesktop::hide(qint32 pid) {
    App* a = app(pid);
    if (!a || !a->running)
        return;
    a->hidden = true;
    if (activePid_ == pid)
        activePid_ = 0;
    emit didHideApplication(RunningApplication{a->bundleID, a->name, a->pid, false, true});
}

void SimulatedDesktop::changeActiveSpace() {
    emit activeSpaceDidChange();
}

} // namespace quillmere::sim
