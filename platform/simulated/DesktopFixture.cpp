#include "platform/simulated/DesktopFixture.h"

#include "platform/simulated/SimulatedDesktop.h"

#include <QJsonArray>
#include <QSet>
#include <cmath>
#include <functional>

namespace quillmere::sim {

namespace {

[[noreturn]] void fail(const QString& path, const QString& message) {
    throw FixtureError((path.isEmpty() ? message : path + QStringLiteral(": ") + message).toStdString());
}

QString at(const QString& path, const QString& key) {
    return path.isEmpty() ? key : path + u'.' + key;
}
QString at(const QString& path, qsizetype index) {
    return path + QStringLiteral("[%1]").arg(index);
}

void onlyKeys(const QJsonObject& object, const QSet<QString>& allowed, const QString& path) {
    for (auto it = object.constBegin(); it != object.constEnd(); ++it)
        if (!allowed.contains(it.key()) && it.key() != u"comment")
            fail(at(path, it.key()), QStringLiteral("unknown field"));
}

QString requireString(const QJsonValue& value, const QString& path) {
    if (!value.isString())
        fail(path, QStringLiteral("expected a string"));
    return value.toString();
}

bool optionalBool(const QJsonObject& object, const QString& key, bool fallback, const QString& path) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return fallback;
    if (!value.isBool())
        fail(at(path, key), QStringLiteral("expected true or false"));
    return value.toBool();
}

double requireNumber(const QJsonValue& value, const QString& path) {
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        fail(path, QStringLiteral("expected a number"));
    return value.toDouble();
}

qint64 requireInteger(const QJsonValue& value, const QString& path, qint64 low, qint64 high) {
    const double number = requireNumber(value, path);
    if (std::trunc(number) != number || number < double(low) || number > double(high))
        fail(path, QStringLiteral("expected a whole number from %1 to %2").arg(low).arg(high));
    return qint64(number);
}

std::optional<QString> optionalString(const QJsonObject& object, const QString& key, const QString& path) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    return requireString(value, at(path, key));
}

QList<double> numbers(const QJsonValue& value, qsizetype count, const QString& path) {
    const QString expected = QStringLiteral("expected an array of %1 numbers").arg(count);
    if (!value.isArray() || value.toArray().size() != count)
        fail(path, expected);
    QList<double> out;
    const QJsonArray array = value.toArray();
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (!array[i].isDouble() || !std::isfinite(array[i].toDouble()))
            fail(path, expected);
        out.append(array[i].toDouble());
    }
    return out;
}

ax::Error errorCode(const QJsonValue& value, const QString& path) {
    const QString name = requireString(value, path);
    const std::optional<ax::Error> code = ax::errorNamed(name);
    if (!code || *code == ax::Error::success)
        fail(path, QStringLiteral("unknown error \"%1\"").arg(name));
    return *code;
}

const QHash<QString, QString>& shorthands() {
    static const QHash<QString, QString> names{
        {QStringLiteral("role"), QStringLiteral("AXRole")},
        {QStringLiteral("subrole"), QStringLiteral("AXSubrole")},
        {QStringLiteral("title"), QStringLiteral("AXTitle")},
        {QStringLiteral("description"), QStringLiteral("AXDescription")},
        {QStringLiteral("value"), QStringLiteral("AXValue")},
        {QStringLiteral("help"), QStringLiteral("AXHelp")},
        {QStringLiteral("identifier"), QStringLiteral("AXIdentifier")},
        {QStringLiteral("roleDescription"), QStringLiteral("AXRoleDescription")},
        {QStringLiteral("document"), QStringLiteral("AXDocument")},
        {QStringLiteral("enabled"), QStringLiteral("AXEnabled")},
    };
    return names;
}

} // namespace

// ------------------------------------------------------------------------------------------
// Values

ax::Value DesktopFixture::convert(const SimulatedDesktop& desktop, const QJsonValue& value,
                                  const QString& path) {
    switch (value.type()) {
    case QJsonValue::Null:
        return ax::Value();
    case QJsonValue::Bool:
        return ax::Value(value.toBool());
    case QJsonValue::String:
        return ax::Value(value.toString());
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (std::trunc(number) == number && std::fabs(number) < 9.0e15)
            return ax::Value(qint64(number));
        return ax::Value(number);
    }
    case QJsonValue::Array: {
        ax::Value::List list;
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i)
            list.push_back(convert(desktop, array[i], at(path, i)));
        return ax::Value(std::move(list));
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.contains(QStringLiteral("url"))) {
            onlyKeys(object, {QStringLiteral("url"), QStringLiteral("absolute")}, path);
            return ax::Value(
                ax::Url{requireString(object.value(QStringLiteral("url")), at(path, QStringLiteral("url"))),
                        optionalBool(object, QStringLiteral("absolute"), true, path)});
        }
        if (object.size() != 1)
            fail(path, QStringLiteral("a typed value has exactly one of url, attributed, point, size, rect, "
                                      "range, element, real, integer"));
        const QString kind = object.constBegin().key();
        const QJsonValue inner = object.constBegin().value();
        const QString innerPath = at(path, kind);
        if (kind == u"attributed")
            return ax::Value(ax::AttributedText{requireString(inner, innerPath)});
        if (kind == u"point") {
            const QList<double> n = numbers(inner, 2, innerPath);
            return ax::Value(ax::Point{n[0], n[1]});
        }
        if (kind == u"size") {
            const QList<double> n = numbers(inner, 2, innerPath);
            return ax::Value(ax::Size{n[0], n[1]});
        }
        if (kind == u"rect") {
            const QList<double> n = numbers(inner, 4, innerPath);
            return ax::Value(ax::Rect{{n[0], n[1]}, {n[2], n[3]}});
        }
        if (kind == u"range") {
            const QList<double> n = numbers(inner, 2, innerPath);
            return ax::Value(ax::Range{qint64(n[0]), qint64(n[1])});
        }
        if (kind == u"real")
            return ax::Value(requireNumber(inner, innerPath));
        if (kind == u"integer")
            return ax::Value(requireInteger(inner, innerPath, -(qint64(1) << 53), qint64(1) << 53));
        if (kind == u"element") {
            const QString id = requireString(inner, innerPath);
            const ax::Element element = desktop.element(id);
            if (element.isNull())
                fail(innerPath, QStringLiteral("no node with id \"%1\"").arg(id));
            return ax::Value(element);
        }
        fail(path, QStringLiteral("unknown value type \"%1\"").arg(kind));
    }
    case QJsonValue::Undefined:
        break;
    }
    fail(path, QStringLiteral("missing value"));
}

// ------------------------------------------------------------------------------------------
// Trees

// Builds element trees into a desktop; a friend of the desktop, as the loader is.
class DesktopFixtureBuilder {
public:
    DesktopFixtureBuilder(SimulatedDesktop& desktop, const QSet<QString>& templateNames)
        : desktop_(desktop), templates_(templateNames) {}

    quint64 build(const QJsonValue& json, quint64 parent, qint32 pid, const QString& path, bool window);
    Behaviours behaviours(const QJsonValue& json, const QString& path) const;
    // An object from virtual key code to behaviours.
    QHash<int, Behaviours> keyBindings(const QJsonValue& json, const QString& path) const;
    void resolve() {
        for (const auto& step : pending_)
            step();
        pending_.clear();
    }
    SimulatedDesktop::Node& node(quint64 id) { return *desktop_.node(id); }

private:
    Behaviour behaviour(const QJsonValue& json, const QString& path) const;

    // The steps of build(), in the order an element's fields are read.
    void attributes(quint64 self, const QJsonObject& object, const QString& path, bool window);
    // Attribute values may name elements defined later in the file: converted at the end.
    void deferAttribute(quint64 self, const QString& name, const QJsonValue& value, const QString& path);
    void errors(quint64 self, const QJsonObject& object, const QString& path);
    void actions(quint64 self, const QJsonObject& object, const QString& path);
    void inputBehaviours(quint64 self, const QJsonObject& object, const QString& path);
    void children(quint64 self, qint32 pid, const QJsonObject& object, const QString& path);
    void lists(quint64 self, qint32 pid, const QJsonObject& object, const QString& path);

    SimulatedDesktop& desktop_;
    const QSet<QString>& templates_;
    QList<std::function<void()>> pending_;
};

Behaviour DesktopFixtureBuilder::behaviour(const QJsonValue& json, const QString& path) const {
    if (!json.isObject())
        fail(path, QStringLiteral("expected a behaviour object"));
    const QJsonObject object = json.toObject();
    onlyKeys(object,
             {QStringLiteral("do"), QStringLiteral("after"), QStringLiteral("template"),
              QStringLiteral("under"), QStringLiteral("target"), QStringLiteral("attribute"),
              QStringLiteral("value"), QStringLiteral("error"), QStringLiteral("title"),
              QStringLiteral("document")},
             path);
    Behaviour b;
    const QString kind = requireString(object.value(QStringLiteral("do")), at(path, QStringLiteral("do")));
    static const QHash<QString, Behaviour::Kind> kinds{
        {QStringLiteral("attach"), Behaviour::Kind::attach},
        {QStringLiteral("detach"), Behaviour::Kind::detach},
        {QStringLiteral("focus"), Behaviour::Kind::focus},
        {QStringLiteral("set"), Behaviour::Kind::set},
        {QStringLiteral("closeMenus"), Behaviour::Kind::closeMenus},
        {QStringLiteral("fail"), Behaviour::Kind::fail},
        {QStringLiteral("nothing"), Behaviour::Kind::nothing},
        {QStringLiteral("changeConversation"), Behaviour::Kind::changeConversation},
    };
    if (!kinds.contains(kind))
        fail(at(path, QStringLiteral("do")), QStringLiteral("unknown behaviour \"%1\"").arg(kind));
    b.kind = kinds.value(kind);
    if (object.contains(QStringLiteral("after"))) {
        b.after = requireNumber(object.value(QStringLiteral("after")), at(path, QStringLiteral("after")));
        if (b.after < 0)
            fail(at(path, QStringLiteral("after")), QStringLiteral("expected a delay of 0 seconds or more"));
    }
    b.templateName = optionalString(object, QStringLiteral("template"), path).value_or(QString());
    b.under = optionalString(object, QStringLiteral("under"), path).value_or(QString());
    b.target = optionalString(object, QStringLiteral("target"), path).value_or(QString());
    b.attribute = optionalString(object, QStringLiteral("attribute"), path).value_or(QString());
    b.value = object.value(QStringLiteral("value"));
    b.title = object.value(QStringLiteral("title"));
    b.document = object.value(QStringLiteral("document"));
    switch (b.kind) {
    case Behaviour::Kind::attach:
        if (b.templateName.isEmpty())
            fail(at(path, QStringLiteral("template")), QStringLiteral("attach needs a template"));
        if (!templates_.contains(b.templateName))
            fail(at(path, QStringLiteral("template")),
                 QStringLiteral("no template \"%1\"").arg(b.templateName));
        break;
    case Behaviour::Kind::detach:
    case Behaviour::Kind::focus:
        if (b.target.isEmpty())
            fail(at(path, QStringLiteral("target")), QStringLiteral("%1 needs a target").arg(kind));
        break;
    case Behaviour::Kind::set:
        if (b.attribute.isEmpty())
            fail(at(path, QStringLiteral("attribute")), QStringLiteral("set needs an attribute"));
        if (b.value.isUndefined())
            fail(at(path, QStringLiteral("value")), QStringLiteral("set needs a value"));
        break;
    case Behaviour::Kind::fail:
        if (object.contains(QStringLiteral("error")))
            b.error = errorCode(object.value(QStringLiteral("error")), at(path, QStringLiteral("error")));
        break;
    case Behaviour::Kind::changeConversation:
        if (b.title.isUndefined() && b.document.isUndefined())
            fail(path, QStringLiteral("changeConversation needs a title or a document"));
        break;
    case Behaviour::Kind::closeMenus:
    case Behaviour::Kind::nothing:
        break;
    }
    return b;
}

QHash<int, Behaviours> DesktopFixtureBuilder::keyBindings(const QJsonValue& json, const QString& path) const {
    if (!json.isObject())
        fail(path, QStringLiteral("expected an object from virtual key code to behaviours"));
    QHash<int, Behaviours> bindings;
    const QJsonObject map = json.toObject();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        bool ok = false;
        const int code = it.key().toInt(&ok);
        if (!ok || code < 0 || code > 0xffff)
            fail(at(path, it.key()), QStringLiteral("expected a virtual key code"));
        bindings.insert(code, behaviours(it.value(), at(path, it.key())));
    }
    return bindings;
}

Behaviours DesktopFixtureBuilder::behaviours(const QJsonValue& json, const QString& path) const {
    Behaviours out;
    if (json.isObject()) {
        out.append(behaviour(json, path));
        return out;
    }
    if (!json.isArray())
        fail(path, QStringLiteral("expected a list of behaviours"));
    const QJsonArray array = json.toArray();
    for (qsizetype i = 0; i < array.size(); ++i)
        out.append(behaviour(array[i], at(path, i)));
    return out;
}

// The fields an element object may have; a window has four more.
const QSet<QString>& elementFields(bool window) {
    static const QSet<QString> element = [] {
        QSet<QString> fields{
            QStringLiteral("id"),        QStringLiteral("attributes"), QStringLiteral("errors"),
            QStringLiteral("setErrors"), QStringLiteral("actions"),    QStringLiteral("keys"),
            QStringLiteral("click"),     QStringLiteral("children"),   QStringLiteral("lists"),
            QStringLiteral("frame"),     QStringLiteral("url"),        QStringLiteral("focused"),
            QStringLiteral("menu")};
        for (auto it = shorthands().constBegin(); it != shorthands().constEnd(); ++it)
            fields.insert(it.key());
        return fields;
    }();
    static const QSet<QString> windowElement =
        element + QSet<QString>{QStringLiteral("layer"), QStringLiteral("onScreen"),
                                QStringLiteral("minimized"), QStringLiteral("windowInfo")};
    return window ? windowElement : element;
}

quint64 DesktopFixtureBuilder::build(const QJsonValue& json, quint64 parent, qint32 pid, const QString& path,
                                     bool window) {
    if (!json.isObject())
        fail(path, QStringLiteral("expected an element object"));
    const QJsonObject object = json.toObject();
    onlyKeys(object, elementFields(window), path);

    const QString id = optionalString(object, QStringLiteral("id"), path).value_or(QString());
    const quint64 self = desktop_.addNode(parent, pid, id, {});
    attributes(self, object, path, window);
    errors(self, object, path);
    actions(self, object, path);
    inputBehaviours(self, object, path);
    children(self, pid, object, path);
    lists(self, pid, object, path);
    if (optionalBool(object, QStringLiteral("focused"), false, path))
        pending_.append([this, self, pid] {
            if (auto* a = desktop_.app(pid))
                a->focused = self;
        });
    return self;
}

void DesktopFixtureBuilder::deferAttribute(quint64 self, const QString& name, const QJsonValue& value,
                                           const QString& path) {
    pending_.append([this, self, name, value, path] {
        const ax::Value converted = DesktopFixture::convert(desktop_, value, path);
        node(self).setAttribute(name, converted);
    });
}

void DesktopFixtureBuilder::attributes(quint64 self, const QJsonObject& object, const QString& path,
                                       bool window) {
    for (auto it = shorthands().constBegin(); it != shorthands().constEnd(); ++it)
        if (object.contains(it.key()))
            deferAttribute(self, it.value(), object.value(it.key()), at(path, it.key()));
    if (object.contains(QStringLiteral("url")))
        node(self).setAttribute(QStringLiteral("AXURL"),
                                ax::Value(ax::Url{requireString(object.value(QStringLiteral("url")),
                                                                at(path, QStringLiteral("url")))}));
    if (object.contains(QStringLiteral("frame"))) {
        const QList<double> n =
            numbers(object.value(QStringLiteral("frame")), 4, at(path, QStringLiteral("frame")));
        if (n[2] < 0 || n[3] < 0)
            fail(at(path, QStringLiteral("frame")), QStringLiteral("width and height cannot be negative"));
        node(self).setAttribute(QStringLiteral("AXPosition"), ax::Value(ax::Point{n[0], n[1]}));
        node(self).setAttribute(QStringLiteral("AXSize"), ax::Value(ax::Size{n[2], n[3]}));
    }
    if (window && object.contains(QStringLiteral("minimized")))
        node(self).setAttribute(QStringLiteral("AXMinimized"),
                                ax::Value(optionalBool(object, QStringLiteral("minimized"), false, path)));
    if (const QJsonValue attributes = object.value(QStringLiteral("attributes")); !attributes.isUndefined()) {
        if (!attributes.isObject())
            fail(at(path, QStringLiteral("attributes")),
                 QStringLiteral("expected an object of attribute values"));
        const QJsonObject map = attributes.toObject();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            deferAttribute(self, it.key(), it.value(), at(at(path, QStringLiteral("attributes")), it.key()));
    }
}

void DesktopFixtureBuilder::errors(quint64 self, const QJsonObject& object, const QString& path) {
    for (const QString& field : {QStringLiteral("errors"), QStringLiteral("setErrors")}) {
        const QJsonValue errors = object.value(field);
        if (errors.isUndefined())
            continue;
        if (!errors.isObject())
            fail(at(path, field), QStringLiteral("expected an object from attribute name to error"));
        const QJsonObject map = errors.toObject();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            const ax::Error code = errorCode(it.value(), at(at(path, field), it.key()));
            (field == u"errors" ? node(self).readErrors : node(self).setErrors).insert(it.key(), code);
        }
    }
}

void DesktopFixtureBuilder::actions(quint64 self, const QJsonObject& object, const QString& path) {
    const QJsonValue actions = object.value(QStringLiteral("actions"));
    if (actions.isUndefined())
        return;
    const QString actionsPath = at(path, QStringLiteral("actions"));
    if (!actions.isArray())
        fail(actionsPath, QStringLiteral("expected a list of action names or {\"name\", \"do\"} objects"));
    const QJsonArray list = actions.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString itemPath = at(actionsPath, i);
        QString name;
        Behaviours bound;
        if (list[i].isString()) {
            name = list[i].toString();
        } else if (list[i].isObject()) {
            const QJsonObject action = list[i].toObject();
            onlyKeys(action, {QStringLiteral("name"), QStringLiteral("do")}, itemPath);
            name = requireString(action.value(QStringLiteral("name")), at(itemPath, QStringLiteral("name")));
            if (action.contains(QStringLiteral("do")))
                bound = behaviours(action.value(QStringLiteral("do")), at(itemPath, QStringLiteral("do")));
        } else {
            fail(itemPath, QStringLiteral("expected an action name or an object"));
        }
        if (name.isEmpty())
            fail(itemPath, QStringLiteral("an action needs a name"));
        node(self).actionNames.append(name);
        node(self).actions.insert(name, bound);
    }
}

void DesktopFixtureBuilder::inputBehaviours(quint64 self, const QJsonObject& object, const QString& path) {
    if (const QJsonValue keys = object.value(QStringLiteral("keys")); !keys.isUndefined())
        node(self).keys.insert(keyBindings(keys, at(path, QStringLiteral("keys"))));
    if (object.contains(QStringLiteral("click")))
        node(self).click =
            behaviours(object.value(QStringLiteral("click")), at(path, QStringLiteral("click")));
    if (object.contains(QStringLiteral("menu")))
        node(self).closesAsMenu = optionalBool(object, QStringLiteral("menu"), false, path);
}

void DesktopFixtureBuilder::children(quint64 self, qint32 pid, const QJsonObject& object,
                                     const QString& path) {
    const QJsonValue children = object.value(QStringLiteral("children"));
    if (children.isUndefined())
        return;
    if (!children.isArray())
        fail(at(path, QStringLiteral("children")), QStringLiteral("expected a list of elements"));
    const QJsonArray list = children.toArray();
    for (qsizetype i = 0; i < list.size(); ++i)
        build(list[i], self, pid, at(at(path, QStringLiteral("children")), i), false);
}

void DesktopFixtureBuilder::lists(quint64 self, qint32 pid, const QJsonObject& object, const QString& path) {
    const QJsonValue lists = object.value(QStringLiteral("lists"));
    if (lists.isUndefined())
        return;
    const QString listsPath = at(path, QStringLiteral("lists"));
    if (!lists.isObject())
        fail(listsPath, QStringLiteral("expected an object from attribute name to a list of elements"));
    const QJsonObject map = lists.toObject();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const QString listPath = at(listsPath, it.key());
        if (it.key() == u"AXChildren" || it.key() == u"AXParent")
            fail(listPath, QStringLiteral("use \"children\" for the element's own children"));
        if (!it.value().isArray())
            fail(listPath, QStringLiteral("expected a list of element ids or elements"));
        const QJsonArray items = it.value().toArray();
        const qsizetype slot = node(self).childLists.size();
        node(self).childLists.append({it.key(), {}});
        for (qsizetype i = 0; i < items.size(); ++i) {
            const QString itemPath = at(listPath, i);
            if (items[i].isObject()) {
                // Listed only here: its parent is this element, but it is not among its
                // "AXChildren".
                const quint64 child = build(items[i], 0, pid, itemPath, false);
                node(child).parent = self;
                node(self).childLists[slot].second.append(child);
            } else if (items[i].isString()) {
                const QString ref = items[i].toString();
                pending_.append([this, self, slot, ref, itemPath] {
                    const ax::Element element = desktop_.element(ref);
                    if (element.isNull())
                        fail(itemPath, QStringLiteral("no node with id \"%1\"").arg(ref));
                    node(self).childLists[slot].second.append(element.node());
                });
            } else {
                fail(itemPath, QStringLiteral("expected an element id or an element"));
            }
        }
    }
}

// ------------------------------------------------------------------------------------------
// Whole fixtures

quint64 DesktopFixture::instantiate(SimulatedDesktop& desktop, const QJsonObject& tree, quint64 parent,
                                    qint32 pid, const QString& path) {
    QSet<QString> names;
    for (auto it = desktop.templates_.constBegin(); it != desktop.templates_.constEnd(); ++it)
        names.insert(it.key());
    DesktopFixtureBuilder builder(desktop, names);
    // Where the copy starts: a copy that cannot be finished is taken away again, whole.
    const quint64 first = desktop.nextNodeId();
    try {
        const quint64 root = builder.build(tree, parent, pid, path, false);
        if (!tree.contains(QStringLiteral("menu")))
            builder.node(root).closesAsMenu = tree.value(QStringLiteral("role")).toString() == u"AXMenu";
        builder.resolve();
        return root;
    } catch (const FixtureError&) {
        desktop.detachSubtree(first);
        throw;
    }
}

// Loads one whole fixture into an empty desktop, one named step per part of the file; a friend
// of the desktop, as the builder is. Every step does work in proportion to its part of the file:
// nothing is looked up by walking every application or every node.
class DesktopFixtureLoader {
public:
    explicit DesktopFixtureLoader(SimulatedDesktop& desktop) : desktop_(desktop) {}

    void load(const QJsonObject& root) {
        onlyKeys(root,
                 {QStringLiteral("trusted"), QStringLiteral("hashCollisions"), QStringLiteral("pointer"),
                  QStringLiteral("events"), QStringLiteral("apps"), QStringLiteral("templates"),
                  QStringLiteral("windowList"), QStringLiteral("description")},
                 QString());
        settings(root);
        // Templates first, so behaviours anywhere can be checked against their names.
        templates(root);
        checkTemplates();
        DesktopFixtureBuilder builder(desktop_, templateNames_);
        applications(root, builder);
        builder.resolve();
        focus();
        windowList(root);
    }

private:
    // Which element and window each application starts focused on, settled once every tree is
    // built.
    struct Focus {
        qint32 pid;
        QString focus;
        QString focusedWindow;
        QString path;
    };

    void settings(const QJsonObject& root);
    void templates(const QJsonObject& root);
    void checkTemplates();
    void applications(const QJsonObject& root, DesktopFixtureBuilder& builder);
    SimulatedDesktop::App& application(const QJsonObject& a, const QString& path,
                                       DesktopFixtureBuilder& builder);
    void window(SimulatedDesktop::App& app, const QJsonValue& json, const QString& path,
                DesktopFixtureBuilder& builder);
    void focus();
    void windowList(const QJsonObject& root);

    SimulatedDesktop& desktop_;
    QSet<QString> templateNames_;
    QSet<qint64> pids_;
    bool sawActive_ = false;
    QList<Focus> focuses_;
};

void DesktopFixtureLoader::settings(const QJsonObject& root) {
    desktop_.trusted_ = optionalBool(root, QStringLiteral("trusted"), true, QString());
    desktop_.hashCollisions_ = optionalBool(root, QStringLiteral("hashCollisions"), false, QString());
    if (root.contains(QStringLiteral("pointer"))) {
        const QList<double> p = numbers(root.value(QStringLiteral("pointer")), 2, QStringLiteral("pointer"));
        desktop_.pointer_ = QPointF(p[0], p[1]);
    }
    const QJsonValue events = root.value(QStringLiteral("events"));
    if (events.isUndefined())
        return;
    if (!events.isObject())
        fail(QStringLiteral("events"), QStringLiteral("expected an object"));
    const QJsonObject e = events.toObject();
    const QString path = QStringLiteral("events");
    onlyKeys(e,
             {QStringLiteral("keyboardFails"), QStringLiteral("mouseFails"), QStringLiteral("pointerFails")},
             path);
    desktop_.failKeyEvents_ = optionalBool(e, QStringLiteral("keyboardFails"), false, path);
    desktop_.failMouseEvents_ = optionalBool(e, QStringLiteral("mouseFails"), false, path);
    desktop_.failPointer_ = optionalBool(e, QStringLiteral("pointerFails"), false, path);
}

void DesktopFixtureLoader::templates(const QJsonObject& root) {
    const QJsonValue templates = root.value(QStringLiteral("templates"));
    if (templates.isUndefined())
        return;
    if (!templates.isObject())
        fail(QStringLiteral("templates"), QStringLiteral("expected an object from name to element tree"));
    const QJsonObject map = templates.toObject();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const QString path = at(QStringLiteral("templates"), it.key());
        if (!it.value().isObject())
            fail(path, QStringLiteral("expected an element object"));
        desktop_.templates_.insert(it.key(), {it.value().toObject(), path});
        templateNames_.insert(it.key());
    }
}

// Checks every template's shape now, on a scratch desktop, so a bad template fails the load rather
// than the behaviour that opens it.
void DesktopFixtureLoader::checkTemplates() {
    if (desktop_.templates_.isEmpty())
        return;
    SimulatedDesktop scratch(desktop_.scheduler_);
    scratch.templates_ = desktop_.templates_;
    scratch.addApplication(1, std::nullopt, std::nullopt, false);
    const quint64 window = scratch.addWindow(1, QString(), {});
    for (auto it = desktop_.templates_.constBegin(); it != desktop_.templates_.constEnd(); ++it) {
        DesktopFixtureBuilder builder(scratch, templateNames_);
        builder.build(it.value().tree, window, 1, it.value().path, false);
        // References may point outside the template (to the host's own elements), which the
        // scratch desktop lacks: those resolve when the template is attached.
    }
}

void DesktopFixtureLoader::applications(const QJsonObject& root, DesktopFixtureBuilder& builder) {
    const QJsonValue apps = root.value(QStringLiteral("apps"));
    if (!apps.isUndefined() && !apps.isArray())
        fail(QStringLiteral("apps"), QStringLiteral("expected a list of applications"));
    const QJsonArray appList = apps.toArray();
    for (qsizetype i = 0; i < appList.size(); ++i) {
        const QString path = at(QStringLiteral("apps"), i);
        if (!appList[i].isObject())
            fail(path, QStringLiteral("expected an application object"));
        const QJsonObject a = appList[i].toObject();
        SimulatedDesktop::App& app = application(a, path, builder);
        const QJsonValue windows = a.value(QStringLiteral("windows"));
        if (!windows.isUndefined() && !windows.isArray())
            fail(at(path, QStringLiteral("windows")), QStringLiteral("expected a list of windows"));
        const QJsonArray windowList = windows.toArray();
        for (qsizetype w = 0; w < windowList.size(); ++w)
            window(app, windowList[w], at(at(path, QStringLiteral("windows")), w), builder);
        focuses_.append({app.pid, optionalString(a, QStringLiteral("focus"), path).value_or(QString()),
                         optionalString(a, QStringLiteral("focusedWindow"), path).value_or(QString()), path});
    }
}

SimulatedDesktop::App& DesktopFixtureLoader::application(const QJsonObject& a, const QString& path,
                                                         DesktopFixtureBuilder& builder) {
    onlyKeys(a,
             {QStringLiteral("pid"), QStringLiteral("bundleID"), QStringLiteral("name"),
              QStringLiteral("active"), QStringLiteral("hidden"), QStringLiteral("activates"),
              QStringLiteral("windows"), QStringLiteral("focus"), QStringLiteral("focusedWindow"),
              QStringLiteral("keys")},
             path);
    if (!a.contains(QStringLiteral("pid")))
        fail(at(path, QStringLiteral("pid")), QStringLiteral("missing"));
    const qint32 pid = qint32(
        requireInteger(a.value(QStringLiteral("pid")), at(path, QStringLiteral("pid")), 1, 0x7fffffff));
    if (pids_.contains(pid))
        fail(at(path, QStringLiteral("pid")), QStringLiteral("pid %1 is used twice").arg(pid));
    pids_.insert(pid);
    const bool active = optionalBool(a, QStringLiteral("active"), false, path);
    if (active && sawActive_)
        fail(at(path, QStringLiteral("active")), QStringLiteral("only one application can be active"));
    sawActive_ = sawActive_ || active;
    desktop_.addApplication(pid, optionalString(a, QStringLiteral("bundleID"), path),
                            optionalString(a, QStringLiteral("name"), path), active);
    SimulatedDesktop::App& app = desktop_.apps_.last();
    app.hidden = optionalBool(a, QStringLiteral("hidden"), false, path);
    app.activates = optionalBool(a, QStringLiteral("activates"), true, path);
    if (const QJsonValue keys = a.value(QStringLiteral("keys")); !keys.isUndefined())
        app.keys.insert(builder.keyBindings(keys, at(path, QStringLiteral("keys"))));
    return app;
}

void DesktopFixtureLoader::window(SimulatedDesktop::App& app, const QJsonValue& json, const QString& path,
                                  DesktopFixtureBuilder& builder) {
    const quint64 window = builder.build(json, app.node, app.pid, path, true);
    SimulatedDesktop::Node& n = builder.node(window);
    n.isWindow = true;
    const QJsonObject wo = json.toObject();
    if (!wo.contains(QStringLiteral("role")))
        n.setAttribute(QStringLiteral("AXRole"), ax::Value("AXWindow"));
    SimulatedDesktop::WindowInfo info;
    info.node = window;
    info.number = qint64(window);
    if (wo.contains(QStringLiteral("layer")))
        info.layer = int(requireInteger(wo.value(QStringLiteral("layer")), at(path, QStringLiteral("layer")),
                                        -10000, 10000));
    info.onScreen = optionalBool(wo, QStringLiteral("onScreen"), true, path);
    if (const QJsonValue overrides = wo.value(QStringLiteral("windowInfo")); !overrides.isUndefined()) {
        if (!overrides.isObject())
            fail(at(path, QStringLiteral("windowInfo")),
                 QStringLiteral("expected an object of window-list fields"));
        const QJsonObject map = overrides.toObject();
        // A null removes the field from the entry; any other value replaces it as is.
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            info.overrides.insert(it.key(), it.value().isNull() ? QVariant() : it.value().toVariant());
    }
    app.windows.append(info);
}

void DesktopFixtureLoader::focus() {
    // Menus present from the start close like attached ones: collected for every application in
    // one pass over the nodes, oldest first.
    QHash<qint32, QList<quint64>> menus;
    for (const SimulatedDesktop::Node& n : desktop_.nodes_)
        if (n.closesAsMenu)
            menus[n.pid].append(n.id);
    QHash<qint32, SimulatedDesktop::App*> apps;
    for (SimulatedDesktop::App& app : desktop_.apps_)
        apps.insert(app.pid, &app);

    for (const Focus& f : std::as_const(focuses_)) {
        SimulatedDesktop::App* app = apps.value(f.pid);
        if (!f.focusedWindow.isEmpty()) {
            const quint64 id = desktop_.newestNamed(f.focusedWindow);
            const SimulatedDesktop::Node* n = desktop_.node(id);
            if (!n || !n->isWindow || n->pid != f.pid)
                fail(at(f.path, QStringLiteral("focusedWindow")),
                     QStringLiteral("no window \"%1\" in this application").arg(f.focusedWindow));
            app->focusedWindow = id;
        } else if (!app->windows.isEmpty()) {
            app->focusedWindow = app->windows.first().node;
        }
        if (!f.focus.isEmpty()) {
            const quint64 id = desktop_.newestNamed(f.focus);
            const SimulatedDesktop::Node* n = desktop_.node(id);
            if (!n || n->pid != f.pid)
                fail(at(f.path, QStringLiteral("focus")),
                     QStringLiteral("no element \"%1\" in this application").arg(f.focus));
            app->focused = id;
        }
        // Nothing is open before the load ends, so every menu is new to the list.
        app->openInstances.append(menus.value(f.pid));
    }
}

void DesktopFixtureLoader::windowList(const QJsonObject& root) {
    const QJsonValue extra = root.value(QStringLiteral("windowList"));
    if (extra.isUndefined())
        return;
    if (!extra.isArray())
        fail(QStringLiteral("windowList"), QStringLiteral("expected a list of window-list entries"));
    const QJsonArray list = extra.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (!list[i].isObject())
            fail(at(QStringLiteral("windowList"), i), QStringLiteral("expected an object"));
        desktop_.extraWindowInfo_.append(list[i].toObject().toVariantMap());
    }
}

void DesktopFixture::load(SimulatedDesktop& desktop, const QJsonObject& root) {
    DesktopFixtureLoader(desktop).load(root);
}

} // namespace quillmere::sim
