// One read of a host's open conversation: the window is scanned once, each element is read only
// for what its role can carry, and the conversation, its identity, the model controls and the
// history state are derived from that one scan.

#include "desktop/observation/ClaudeWindowTracker.h"

#include "core/AttachmentSignal.h"
#include "core/ClaudeModelSetting.h"
#include "core/ConversationTreeWalk.h"
#include "core/ModelControlLabel.h"
#include "core/NavigationScope.h"
#include "core/OpenAIRouting.h"
#include "core/Text.h"
#include "desktop/diagnostics/DebugMonitor.h"
#include "desktop/diagnostics/Diagnostics.h"
#include "desktop/observation/ClaudeModelMenu.h"
#include "desktop/observation/SnapshotRules.h"
#include "platform/accessibility/Backend.h"

#include <QDir>
#include <QSet>
#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <span>

namespace quillmere {

namespace {

constexpr int scanLimit = 5000;
const QString codexBundleID = QStringLiteral("com.openai.codex");

const QString kRole = QStringLiteral("AXRole");
const QString kTitle = QStringLiteral("AXTitle");
const QString kDescription = QStringLiteral("AXDescription");
const QString kValue = QStringLiteral("AXValue");
const QString kChildren = QStringLiteral("AXChildren");

enum class RoleKind { text, control, editable, webArea, menu, container };

RoleKind kindOf(QStringView role) {
    // Every role of interest begins with "AX"; the length picks the few candidates to compare.
    if (role.size() < 5 || role[0] != u'A' || role[1] != u'X')
        return RoleKind::container;
    const auto is = [&](QLatin1StringView name) { return role == name; };
    switch (role.size()) {
    case 5:
        return is(QLatin1StringView("AXTab")) ? RoleKind::control : RoleKind::container;
    case 6:
        return is(QLatin1StringView("AXLink"))   ? RoleKind::control
               : is(QLatin1StringView("AXMenu")) ? RoleKind::menu
                                                 : RoleKind::container;
    case 7:
        return is(QLatin1StringView("AXImage")) ? RoleKind::control : RoleKind::container;
    case 8:
        return is(QLatin1StringView("AXButton")) ? RoleKind::control : RoleKind::container;
    case 9:
        return is(QLatin1StringView("AXHeading"))   ? RoleKind::control
               : is(QLatin1StringView("AXWebArea")) ? RoleKind::webArea
                                                    : RoleKind::container;
    case 10:
        return is(QLatin1StringView("AXMenuItem")) || is(QLatin1StringView("AXCheckBox")) ? RoleKind::control
               : is(QLatin1StringView("AXTextArea")) || is(QLatin1StringView("AXComboBox"))
                   ? RoleKind::editable
                   : RoleKind::container;
    case 11:
        return is(QLatin1StringView("AXTextField")) ? RoleKind::editable : RoleKind::container;
    case 12:
        return is(QLatin1StringView("AXStaticText"))   ? RoleKind::text
               : is(QLatin1StringView("AXMenuButton")) ? RoleKind::control
                                                       : RoleKind::container;
    case 13:
        return is(QLatin1StringView("AXPopUpButton")) || is(QLatin1StringView("AXRadioButton")) ||
                       is(QLatin1StringView("AXMenuBarItem"))
                   ? RoleKind::control
               : is(QLatin1StringView("AXSearchField")) ? RoleKind::editable
                                                        : RoleKind::container;
    case 20:
        return is(QLatin1StringView("AXDisclosureTriangle")) ? RoleKind::control : RoleKind::container;
    default:
        return RoleKind::container;
    }
}

bool isPickerRole(const QString& role) {
    return role == QLatin1String("AXPopUpButton") || role == QLatin1String("AXButton") ||
           role == QLatin1String("AXMenuButton");
}

// The longest panel name, "conversation sources", has 19 characters besides its blank.
constexpr int longestPanelName = 19;

bool isSourcesPanelName(const QString& text) {
    // Every panel name begins with "s", "o" or "c": a text whose first character that is not
    // white space is any other ASCII character begins no such name once lowercased.
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x80)
            break;
        if (u == u' ' || (u >= u'\t' && u <= u'\r'))
            continue;
        const char16_t lower = u >= u'A' && u <= u'Z' ? char16_t(u + (u'a' - u'A')) : u;
        if (lower != u's' && lower != u'o' && lower != u'c')
            return false;
        break;
    }
    // Most labels are far longer than any panel name: lowercasing never takes a code point away
    // and splitting into words drops only white space, so a text with more code points that are
    // not white space than the longest name cannot be one. Counting is cheap; the normalised
    // lowercase form is not.
    int kept = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isLowSurrogate() && i > 0 && text[i - 1].isHighSurrogate())
            continue; // the second half of one code point
        if (c.unicode() < 0x80 ? c.unicode() > 0x20 : !c.isSpace())
            if (++kept > longestPanelName)
                return false;
    }
    const QString x = SnapshotRules::normalizedLowercasedLabel(text);
    return x == QLatin1String("sources") || x == QLatin1String("outputs") || x == QLatin1String("sidebar") ||
           x == QLatin1String("conversation sources");
}

// The element label: pieces without exact repeats, joined with one blank.
QString labelOf(const QStringList& pieces) {
    // Most labels are one piece: that piece itself, shared, with no list made to join.
    if (pieces.size() == 1)
        return pieces.front();
    QStringList kept;
    for (const QString& piece : pieces)
        if (!kept.contains(piece))
            kept.append(piece);
    return kept.join(QLatin1Char(' '));
}

// What the walk reads of every element it visits, in one request: its role and children, its two
// labels and its value, then the attributes that can mark a user's message bubble (in the order
// the bubble rule reads them). Asking for these at once costs one request per element where
// asking by role would cost two.
const QString kScanAttributes[] = {kRole,
                                   kChildren,
                                   kDescription,
                                   kTitle,
                                   kValue,
                                   QStringLiteral("AXDOMClassList"),
                                   QStringLiteral("AXClassList"),
                                   QStringLiteral("AXIdentifier"),
                                   QStringLiteral("AXDOMIdentifier"),
                                   QStringLiteral("AXHelp"),
                                   QStringLiteral("AXRoleDescription")};
enum ScanAttribute : std::size_t { roleAt, childrenAt, descriptionAt, titleAt, valueAt, firstBubbleAt };
constexpr std::size_t scanWidth = std::size(kScanAttributes);
// Only containers can be bubbles: an element that was no container in the last read is asked
// for the attributes before the bubble's first, and for the rest only if it has become one.
constexpr std::size_t labelWidth = firstBubbleAt;

// Whether an element's class names, identifiers, help or role description mark a user message:
// the bubble attributes' values as read, each through the list reader (a string as a one-item
// list, a list of strings, anything else nothing). The rule asks whether any value is a marker.
bool isUserBubble(const ax::Value* const* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!values[i])
            continue; // most elements have none of these: decided before any list is made
        const ax::Value& value = *values[i];
        QStringList texts;
        if (const QString* text = value.string()) {
            texts.append(text::lowercased(*text));
        } else if (const ax::Value::List* list = value.list()) {
            texts.reserve(qsizetype(list->size()));
            for (const ax::Value& item : *list) {
                const QString* text = item.string();
                if (!text) {
                    texts.clear();
                    break;
                }
                texts.append(text::lowercased(*text));
            }
        }
        if (!texts.isEmpty() && ConversationText::isRenderedUserMessageMarker(texts))
            return true;
    }
    return false;
}

// Whether two values read are the same. Texts handed out from the same storage are, without
// comparing their characters: an unchanged element usually gives the very same text again.
bool sameValue(const ax::Value& a, const ax::Value& b) {
    if (a.kind() != b.kind())
        return false;
    if (a.isNull())
        return true;
    if (const QString* x = a.string()) {
        const QString* y = b.string();
        return (x->constData() == y->constData() && x->size() == y->size()) || *x == *y;
    }
    return a == b;
}

// A value read as text, as stringAttribute reads it; none when it was not read.
std::optional<QString> textOf(const ax::Value* value) {
    if (!value)
        return std::nullopt;
    return AccessibilityReading::stringFromAccessibilityValue(*value);
}

QString flag(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
QString flag(const std::optional<bool>& value) {
    return value ? flag(*value) : QStringLiteral("unknown");
}

} // namespace

// The window as the walk found it, kept from read to read: buffers keep their size, and what the
// last read found of each element stays beside this read's, so that an element that reads as it
// did then is not worked out again.
struct ClaudeWindowTracker::Scan {
    // An element on the walk: small, since the walk moves it twice; the handle itself stays put.
    struct Item {
        int handle = 0;  // its place in `handles`
        int parent = -1; // the parent's index in pre-order; -1 for the window
    };
    // What was read of one element: each attribute that gave a value, by its place in
    // kScanAttributes (an attribute that failed or gave nothing counts as not read). Its role,
    // when it has one, comes first and is text.
    struct Read {
        quint8 attribute;
        ax::Value value;
    };

    ConversationTreeWalk::ScanResult<Item> walk; // this read's elements in pre-order
    std::vector<ax::Element> handles;            // every element the walk was given

    // The elements this read has met, by the element each handle names: a table of places in
    // `handles` (each plus one; 0 is an empty slot), open addressing, kept from read to read.
    struct Met {
        const std::vector<ax::Element>& handles;
        std::vector<int> table;
        std::size_t used = 0;

        void clear() {
            if (table.empty())
                table.assign(std::size_t(1) << 14, 0);
            else
                std::fill(table.begin(), table.end(), 0);
            used = 0;
        }
        bool insert(const Item& item) {
            std::size_t at = find(handles[std::size_t(item.handle)]);
            if (table[at] != 0)
                return false;
            table[at] = item.handle + 1;
            if (++used * 2 > table.size())
                grow();
            return true;
        }
        bool contains(const Item& item) const { return table[find(handles[std::size_t(item.handle)])] != 0; }

    private:
        // The slot holding `element`, or the empty slot where it would go.
        std::size_t find(const ax::Element& element) const {
            // The host's hash may be a plain number in sequence: spread it over the table.
            const std::size_t mask = table.size() - 1;
            for (std::size_t at = std::size_t((quint64(element.hash()) * 0x9E3779B97F4A7C15ull) >> 20) & mask;
                 ; at = (at + 1) & mask)
                if (table[at] == 0 || handles[std::size_t(table[at] - 1)] == element)
                    return at;
        }
        void grow() {
            std::vector<int> old(table.size() * 2, 0);
            std::swap(old, table);
            for (int place : old)
                if (place != 0)
                    table[find(handles[std::size_t(place - 1)])] = place;
        }
    };
    Met met{handles};
    // What was read of each element: element i's reads are reads[starts[i]] up to
    // reads[starts[i + 1]]. While a read is under way these are the last read's; an element that
    // reads as it did then leaves them as they are, and the first one that does not starts
    // `fresh` (a copy of the equal part before it) to which every later element is added. A
    // window unchanged since the last read thus copies nothing.
    std::vector<Read> reads, fresh;
    std::vector<int> starts, freshStarts;
    bool diverged = false;
    std::vector<char> same; // whether each element read as it did in the last read (children aside)
    std::vector<int> parents, lastParents;
    // What each element's own attributes make of it beside its node: the kind of its role and
    // whether its labels name a sources panel.
    struct Own {
        RoleKind kind = RoleKind::container;
        bool panel = false;
    };
    std::vector<Own> owns, lastOwns;
    // Whether each element listed more children than one stretch of the walk: such an element is
    // asked for its children a stretch at a time from the next read on. This says only how to ask,
    // never what is read: an element that has grown long since is read whole once, one that has
    // become short is read in one short stretch.
    std::vector<char> wide, lastWide;
    // How many elements the last read's buffers hold; none while a read is under way, so that a
    // read cut short leaves nothing to compare with.
    int lastCount = 0;
    std::vector<char> inMenu, inSources;
    std::vector<int> sourcesDepth; // levels above the nearest sources panel, -1 for none
    // The request's answers for the element being visited: the first `visitedWidth` of
    // kScanAttributes were asked for.
    std::array<ax::Value, scanWidth> visited;
    std::array<ax::Error, scanWidth> visitedErrors{};
    std::size_t visitedWidth = scanWidth;
    bool visitedStretched = false; // its children are read a stretch at a time, not with the rest

    const ax::Element& element(int index) const {
        return handles[std::size_t(walk.elements[std::size_t(index)].handle)];
    }
    std::span<const Read> readOf(int index) const {
        return {reads.data() + starts[std::size_t(index)], reads.data() + starts[std::size_t(index) + 1]};
    }
    const QString& role(int index) const {
        static const QString none;
        const auto read = readOf(index);
        return !read.empty() && read.front().attribute == roleAt ? *read.front().value.string() : none;
    }
    bool visitedAttribute(std::size_t k) const {
        return visitedErrors[k] == ax::Error::success && !visited[k].isNull();
    }

    void begin(int lastCount) {
        diverged = false;
        fresh.clear();
        freshStarts.clear();
        if (lastCount == 0 || starts.size() != std::size_t(lastCount) + 1) {
            // Nothing to compare with: every element starts out different.
            reads.clear();
            starts.assign(1, 0);
        }
    }

    // Takes the elements of a list of children of element `parent` (its place in pre-order) as
    // items of the walk, into `kids`.
    void adopt(const ax::Value::List& list, int parent, std::vector<Item>& kids) {
        kids.reserve(list.size());
        for (const ax::Value& child : list)
            if (const ax::Element* element = child.element()) {
                kids.push_back(Item{int(handles.size()), parent});
                handles.push_back(*element);
            }
    }

    // The walk's own counters.
    struct WalkState {
        int recorded = 0;  // elements recorded so far
        int steps = 0;     // elements taken from the walk's stack, pruned or not
        int readStep = -1; // the step whose element was read last
    } walkState;

    // Reads the element the walk is at, once per step, in one request: the element at this place
    // in the last read says what to ask for, and one that has become a container since is asked
    // again for the rest.
    void visit(const Item& item, int lastCount) {
        if (walkState.readStep == walkState.steps)
            return;
        walkState.readStep = walkState.steps;
        const ax::Element& element = handles[std::size_t(item.handle)];
        const int recorded = walkState.recorded;
        const bool container =
            recorded >= lastCount || lastOwns[std::size_t(recorded)].kind == RoleKind::container;
        visitedWidth = container ? scanWidth : labelWidth;
        visitedStretched = recorded < lastCount && lastWide[std::size_t(recorded)];
        if (visitedStretched) {
            // Everything but the children, which the walk reads as far as it reaches them.
            const auto attributes = std::span(kScanAttributes, visitedWidth);
            ax::copyMultipleAttributeValues(element, attributes.first(childrenAt), visited.data(),
                                            visitedErrors.data());
            ax::copyMultipleAttributeValues(element, attributes.subspan(childrenAt + 1),
                                            visited.data() + childrenAt + 1,
                                            visitedErrors.data() + childrenAt + 1);
            visited[childrenAt].clear();
            visitedErrors[childrenAt] = ax::Error::noValue;
        } else {
            ax::copyMultipleAttributeValues(element, std::span(kScanAttributes, visitedWidth), visited.data(),
                                            visitedErrors.data());
        }
        if (!container) {
            // A role that could not be read makes a container too.
            const QString* role =
                visitedErrors[roleAt] == ax::Error::success ? visited[roleAt].string() : nullptr;
            if (kindOf(role ? QStringView(*role) : QStringView(visitedRoleText())) == RoleKind::container) {
                ax::copyMultipleAttributeValues(element, std::span(kScanAttributes).subspan(labelWidth),
                                                visited.data() + labelWidth,
                                                visitedErrors.data() + labelWidth);
                visitedWidth = scanWidth;
            }
        }
    }
    // The visited element's role as text; empty when it has none.
    QString visitedRoleText() const {
        return visitedErrors[roleAt] == ax::Error::success
                   ? AccessibilityReading::stringFromAccessibilityValue(visited[roleAt]).value_or(QString())
                   : QString();
    }
    // Whether the visited element is a web area.
    bool visitedWebArea() const {
        const QString* text =
            visitedErrors[roleAt] == ax::Error::success ? visited[roleAt].string() : nullptr;
        return (text ? *text : visitedRoleText()) == QLatin1String("AXWebArea");
    }

    // What an element's own attributes make of it: its label pieces, the labels that may announce
    // a message's position, whether it is a user's bubble and whether it names a sources panel.
    struct OwnLabels {
        QStringList labels, positionLabels;
        bool bubble = false, panel = false;
    };
    OwnLabels ownLabels(int index, RoleKind kind) const {
        // Each attribute's value as read, or none.
        std::array<const ax::Value*, scanWidth> values{};
        for (const Read& read : readOf(index))
            values[read.attribute] = &read.value;
        OwnLabels own;
        // Every element's label pieces are its title, description and value, whatever its role;
        // all three came with the one request.
        const std::optional<QString> title = textOf(values[titleAt]);
        const std::optional<QString> description = textOf(values[descriptionAt]);
        own.labels = SnapshotRules::labelPieces(title, description, textOf(values[valueAt]));
        if (kind == RoleKind::menu || kind == RoleKind::container) {
            // A menu or container may announce a message's position; a container may be a
            // user's bubble.
            for (const auto* label : {&description, &title})
                if (*label && label->value().startsWith(QLatin1String("Message ")))
                    own.positionLabels.append(**label);
            own.bubble = kind == RoleKind::container &&
                         isUserBubble(values.data() + firstBubbleAt, scanWidth - firstBubbleAt);
        }
        // Texts and fields name no panel; a web area only by its title.
        if (kind == RoleKind::webArea)
            own.panel = title && isSourcesPanelName(*title);
        else if (kind != RoleKind::text && kind != RoleKind::editable)
            own.panel =
                (title && isSourcesPanelName(*title)) || (description && isSourcesPanelName(*description));
        return own;
    }

    // Places element `index` among menus and sources panels, from its parent's place; returns
    // whether it lies in a sources panel (within seven levels below one, nothing is part of the
    // conversation).
    bool place(int index, RoleKind kind, bool panel) {
        const std::size_t i = std::size_t(index);
        const int parent = parents[i];
        owns[i] = {kind, panel};
        int depth = panel ? 0 : -1;
        if (!panel && parent >= 0 && sourcesDepth[std::size_t(parent)] >= 0 &&
            sourcesDepth[std::size_t(parent)] < 7)
            depth = sourcesDepth[std::size_t(parent)] + 1;
        sourcesDepth[i] = depth;
        inSources[i] = depth >= 0;
        inMenu[i] = kind == RoleKind::menu || (parent >= 0 && inMenu[std::size_t(parent)]);
        return depth >= 0;
    }

    // Takes what the visit read as element `index`'s.
    void take(int index, int lastCount) {
        const bool equal = index < lastCount && readsAsBefore(index);
        if (std::size_t(index) >= same.size())
            same.resize(std::size_t(index) + 1);
        same[std::size_t(index)] = equal;
        if (std::size_t(index) >= wide.size())
            wide.resize(std::size_t(index) + 1);
        wide[std::size_t(index)] = visitedStretched;
        if (!diverged && equal)
            return;
        if (!diverged) {
            diverged = true;
            fresh.assign(reads.begin(), reads.begin() + starts[std::size_t(index)]);
            freshStarts.assign(starts.begin(), starts.begin() + index + 1);
        }
        for (std::size_t k = 0; k < visitedWidth; ++k) {
            if (k == childrenAt || !visitedAttribute(k))
                continue;
            if (k == roleAt && !visited[k].string()) {
                // A role is text; anything else is read as text once, here.
                if (auto text = AccessibilityReading::stringFromAccessibilityValue(visited[k]))
                    fresh.push_back({quint8(k), ax::Value(std::move(*text))});
                continue;
            }
            fresh.push_back({quint8(k), std::move(visited[k])});
        }
        freshStarts.push_back(int(fresh.size()));
    }

    // Makes what this read found the reads, once the walk is done with `count` elements.
    void finish(int count) {
        if (diverged) {
            std::swap(reads, fresh);
            std::swap(starts, freshStarts);
            fresh.clear();
        } else {
            reads.resize(std::size_t(starts[std::size_t(count)]));
            starts.resize(std::size_t(count) + 1);
        }
    }

private:
    // Whether the visit read what the last read kept for element `index`.
    bool readsAsBefore(int index) const {
        const Read* then = reads.data() + starts[std::size_t(index)];
        const Read* const end = reads.data() + starts[std::size_t(index) + 1];
        for (std::size_t k = 0; k < visitedWidth; ++k) {
            const ax::Value& value = visited[k];
            if (value.isNull() || k == childrenAt || visitedErrors[k] != ax::Error::success)
                continue;
            if (then == end || then->attribute != k || !sameValue(value, then->value))
                return false; // a role that is not text never compares equal: it is kept as text
            ++then;
        }
        return then == end;
    }
};

// What the labels of a window's elements show, worked out again only when the tree changes:
// everything but what the host may change without changing a label (whether a control is
// enabled or selected) is read from the tree alone.
struct ClaudeWindowTracker::Controls {
    bool scrollSeen = false, attachment = false, menuInWindow = false, generating = false;
    int copyAnchors = 0;
    int effortIndex = -1;
    QStringList renameTitles;
    QSet<QString> shownModels;
    std::vector<ObservedSetting> shownSettings;
    std::vector<int> pickerCandidates;                    // picker controls naming a model, in order
    std::vector<std::pair<int, QString>> surfaceSwitches; // "work" and "chat" switches, in order
    // Works out what the labels of the `count` elements of `nodes` show.
    static std::shared_ptr<Controls> of(const std::vector<SentMessageTree::Node>& nodes, const Scan& scan,
                                        int count) {
        auto controls = std::make_shared<Controls>();
        for (int i = 0; i < count; ++i) {
            const QString& role = nodes[std::size_t(i)].role;
            const QStringList& own = nodes[std::size_t(i)].labels;
            const bool inMenu = scan.inMenu[std::size_t(i)], inSources = scan.inSources[std::size_t(i)];
            if (role == QLatin1String("AXMenu"))
                controls->menuInWindow = true;
            if (own.isEmpty())
                continue;
            if (SnapshotRules::isScrollToBottomButton(role, own))
                controls->scrollSeen = true;
            if (!controls->attachment && AttachmentSignal::isConcrete(role, own, inSources))
                controls->attachment = true;
            if (role == QLatin1String("AXButton"))
                controls->readButton(role, own);
            const bool picking = isPickerRole(role);
            const bool switching = role == QLatin1String("AXRadioButton") || role == QLatin1String("AXTab");
            if (!inMenu && !picking && !switching)
                continue;
            const QString label = labelOf(own);
            if (inMenu)
                controls->readMenuRow(label);
            else if (!inSources)
                controls->readControl(i, label, picking, switching);
        }
        return controls;
    }

private:
    // A button may name a session to rename, say an answer is being generated, or copy a sent
    // message.
    void readButton(const QString& role, const QStringList& own) {
        if (const auto session = SnapshotRules::renameSessionTitle(role, labelOf(own)))
            renameTitles.append(*session);
        for (const QString& piece : own) {
            const QString x = SnapshotRules::normalizedLowercasedLabel(piece);
            if (x.startsWith(QLatin1String("stop ")) || x == QLatin1String("stop"))
                generating = true;
            if (ConversationText::isSentUserCopyAction(piece))
                ++copyAnchors;
        }
    }
    // A menu open in the window lists what the picker offers.
    void readMenuRow(const QString& label) {
        if (const auto model = ModelControlLabel::model(label);
            model && model->startsWith(QLatin1String("gpt-"))) {
            shownModels.insert(*model);
            if (const auto effort = ModelControlLabel::effort(label))
                shownSettings.push_back({*model, *effort});
        }
    }
    // A picker naming a model or an effort, or a switch between the work and chat surfaces.
    void readControl(int index, const QString& label, bool picking, bool switching) {
        if (picking && ModelControlLabel::model(label))
            pickerCandidates.push_back(index);
        else if (effortIndex < 0 && picking && ModelControlLabel::effort(label))
            effortIndex = index;
        if (switching) {
            const QString x = SnapshotRules::normalizedLowercasedLabel(label);
            if (x == QLatin1String("work") || x == QLatin1String("chat"))
                surfaceSwitches.emplace_back(index, x);
        }
    }
};

// Everything one read learns on its way: what the summary and the state fields report, and what
// each step hands the next.
struct ClaudeWindowTracker::Reading {
    // --- for the summary and the state fields
    QString stage = QStringLiteral("no_accessibility");
    std::optional<bool> truncated, pickerFound, modelParsed, effortParsed, historyCurrent, sentContext;
    int remembered = 0, windows = 0, positioned = 0, users = 0, assistants = 0, bubbles = 0, candidates = 0,
        copyAnchors = 0;
    QString identitySource;
    QString archiveAddition; // what the archive lookups add to the read summary
    bool reachedWindow = false;
    bool generating = false;

    // --- the host and its focused window
    RunningApplication application;
    AIProvider provider = AIProvider::claude;
    QString bundle; // lowercased
    ax::Element window;
    bool claudeHost() const { return provider == AIProvider::claude; }

    // --- the walk and what it made of each element
    int lastCount = 0;      // elements the last read found, to compare with
    int count = 0;          // elements this read found
    bool unchanged = false; // the tree is the last read's, so nothing is derived from it again
    std::vector<SentMessageTree::Node> built; // this read's own tree, when the window changed
    const std::vector<SentMessageTree::Node>* nodes = nullptr; // the tree of this read
    // What the web areas say of their addresses, and how many candidates name a conversation.
    struct WebAreas {
        QStringList addresses;
        int count = 0, readableURLs = 0, readableDocuments = 0, canonicalCandidates = 0;
    } webAreas;

    // --- the controls
    const Controls* controls = nullptr;
    int pickerIndex = -1; // the model picker's element; -1 for none
    std::optional<QString> selectedSurface;

    // --- the rendered messages
    Derived::Kept ownKept; // this read's own, when they cannot be kept for the next read
    const Derived::Kept* kept = nullptr;

    // --- the conversation's identity
    std::optional<QString> activeKey, navigationTitle; // of the selected navigation row
    std::optional<QString> windowDocument, document, windowTitle, title;
    ConversationIdentity::Identity identity;

    // --- the archives and memory
    ArchivedHistory archive;
    std::optional<QString> memoryKey; // only a verified conversation is remembered
    ConversationMemoryStore::Recall ownRecall;
    const Observed* observed = nullptr; // the tracker's kept recall, when this read takes it
    bool observationKept = false;       // the last read gave memory the same, and memory is unchanged
    const ConversationMemoryStore::Recall& recall() const { return observed ? observed->recall : ownRecall; }
};

std::vector<SentMessageTree::Message>
ClaudeWindowTracker::chatGPTRenderedMessages(const std::vector<SentMessageTree::Node>& nodes,
                                             const Scan& scan) {
    std::vector<SentMessageTree::Message> messages = SentMessageTree::extract(nodes);
    // Each node's parent, once, so that finding a message's announced position costs at most six
    // steps up instead of a walk over the whole tree per message.
    std::vector<int> parents(nodes.size(), -1);
    for (std::size_t i = 0; i < nodes.size(); ++i)
        for (int child : nodes[i].children)
            if (child > int(i) && std::size_t(child) < nodes.size() && parents[std::size_t(child)] < 0)
                parents[std::size_t(child)] = int(i);
    renderedMessagePositions_.clear();
    renderedMessagePositions_.reserve(messages.size());
    for (const auto& message : messages) {
        std::optional<int> position;
        for (int level = message.root, depth = 0;
             !position && level >= 0 && std::size_t(level) < nodes.size() && depth < 6;
             level = parents[std::size_t(level)], ++depth)
            for (const QString& label : nodes[std::size_t(level)].positionLabels)
                if ((position = RenderedMessages::positionFromLabel(label)))
                    break;
        renderedMessagePositions_.push_back(position);
    }
    writeMessageEvidence(nodes, messages, scan);
    return messages;
}

void ClaudeWindowTracker::writeMessageEvidence(const std::vector<SentMessageTree::Node>& nodes,
                                               const std::vector<SentMessageTree::Message>& messages,
                                               const Scan& scan) {
    std::vector<int> roots;
    roots.reserve(messages.size());
    for (const auto& message : messages)
        roots.push_back(message.root);
    // An unchanged tree leaves unchanged evidence: reading every message's ancestors again would
    // only rewrite the same content-free records.
    if (evidenceNodes_ && *evidenceNodes_ == nodes && evidenceRoots_ == roots)
        return;
    std::vector<json::Object> records;
    records.reserve(messages.size());
    for (std::size_t ordinal = 0; ordinal < messages.size(); ++ordinal) {
        const int root = messages[ordinal].root;
        if (root >= 0 && std::size_t(root) < scan.walk.elements.size())
            records.push_back(
                RenderedMessages::identityEvidence(int(ordinal), messages[ordinal].role, scan.element(root)));
    }
    Diagnostics::messageIdentityEvidence(environment_.diagnosticsFolder, records);
    Diagnostics::messageStructure(environment_.diagnosticsFolder, nodes,
                                  QSet<int>(roots.begin(), roots.end()));
    evidenceNodes_ = nodes;
    evidenceRoots_ = std::move(roots);
}

ClaudeWindowTracker::ArchivedHistory
ClaudeWindowTracker::archivedHistory(const QString& bundle, const std::optional<QString>& windowTitle,
                                     const std::optional<QString>& document, const MessageList& visible,
                                     bool generating) {
    ArchivedHistory history;
    // A Codex task is named by its window title; the archive vouches for it only when the
    // messages in view are found in the named thread, in order.
    if (bundle == codexBundleID && windowTitle) {
        const auto lookup = codexArchiveReader_.lookup(*windowTitle, visible, environment_.codexDirectory);
        if (lookup.kind == CodexLocalConversationArchive::Lookup::Kind::unverified) {
            history.outcome = ArchivedHistory::Outcome::unverified;
            history.unverifiedSummary =
                QStringLiteral("; codexArchiveIdentityUnverified=true; codexArchiveLookup=") +
                codexArchiveReader_.lastLookupSummary();
        } else if (lookup.isVerified() && lookup.snapshot) {
            history.outcome = ArchivedHistory::Outcome::verified;
            history.messages = RenderedMessages::stableArchiveMessages(lookup.snapshot->messages, generating);
            history.conversationID = QStringLiteral("com.openai.codex|thread:") + lookup.snapshot->threadID;
        }
        return history;
    }
    // A Claude Code session page names its desktop session; the session's transcript holds the
    // whole active branch once the messages in view prove it is this window's conversation. The
    // transcript is parsed off the main thread, so the first reads go on with the window alone.
    const std::optional<QString> session =
        document ? ClaudeLocalConversationArchive::sessionID(*document) : std::nullopt;
    if (supportedBundleIDs.at(bundle) == AIProvider::claude && session) {
        history.conversationID = QStringLiteral("claude-code|session:") + *session;
        history.outcome = ArchivedHistory::Outcome::identified;
        const MessageList observed =
            memory_->remembered(rawValue(AIProvider::claude) + QLatin1Char('|') + history.conversationID);
        const auto lookup =
            claudeArchiveReader_.lookup(*document, visible, observed, environment_.claudeMetadataRoot,
                                        environment_.claudeProjectsRoot, environment_.clock->now(), false);
        history.summaryAddition =
            QStringLiteral("; claudeCodeArchiveLookup=") + claudeArchiveReader_.lastLookupSummary();
        if (lookup.isVerified() && lookup.snapshot()) {
            // Shared with the archive's branch: a long session's history is never copied here, and
            // an unchanged transcript gives the very same list read after read.
            MessageList messages =
                RenderedMessages::stableArchiveMessages(lookup.snapshot()->messages, generating);
            // Memory takes a long new history in once it has worked out its texts' keys, a part
            // per turn of the event loop; until then the window stands, as while the transcript
            // itself is read.
            if (memory_->readyToObserve(messages)) {
                history.outcome = ArchivedHistory::Outcome::verified;
                history.latestVisibleUserCurrent = lookup.snapshot()->latestVisibleUserCurrent;
                history.messages = std::move(messages);
            }
        }
    }
    return history;
}

std::optional<ClaudeWindowTracker::ConversationSnapshot> ClaudeWindowTracker::conversationSnapshot() {
    Reading reading;
    std::optional<ConversationSnapshot> snapshot;
    try {
        snapshot = read(reading);
    } catch (const std::exception&) {
        // A read never throws to its caller: what could not be read is simply not there.
        snapshot.reset();
    }
    finishRead(reading, snapshot);
    if (snapshot)
        snapshot->extractionSummary = lastReadSummary_;
    return snapshot;
}

std::optional<ClaudeWindowTracker::ConversationSnapshot> ClaudeWindowTracker::read(Reading& reading) {
    if (!reachWindow(reading))
        return std::nullopt;
    walkWindow(reading);
    classifyElements(reading);
    readControls(reading);
    collectMessages(reading);
    establishIdentity(reading);
    if (!consultArchivesAndMemory(reading))
        return std::nullopt;
    return composeSnapshot(reading);
}

// --- the host and its window

bool ClaudeWindowTracker::reachWindow(Reading& reading) {
    if (!ax::isProcessTrusted())
        return false;
    reading.stage = QStringLiteral("no_host");
    const auto target = targetApplication();
    if (!target)
        return false;
    reading.application = target->application;
    reading.provider = target->provider;
    reading.bundle = text::lowercased(reading.application.bundleIdentifier.value_or(QString()));
    reading.stage = QStringLiteral("no_window");
    const auto window = focusedWindow(reading.application);
    if (!window)
        return false;
    reading.window = *window;
    reading.stage = QStringLiteral("read");
    reading.reachedWindow = true;
    return true;
}

// --- the walk: everything read of an element is read in one request as it is visited

void ClaudeWindowTracker::walkWindow(Reading& reading) {
    if (!scan_)
        scan_ = std::make_shared<Scan>();
    Scan& scan = *scan_;
    reading.lastCount = std::exchange(scan.lastCount, 0);
    scan.begin(reading.lastCount);
    scan.handles.clear();
    scan.handles.push_back(reading.window);
    scan.met.clear();
    scan.walkState = {};
    using Item = Scan::Item;
    const bool claudeHost = reading.claudeHost();
    const int lastCount = reading.lastCount;
    ConversationTreeWalk::scan(
        scan.walk, scan.met, Item{0, -1}, scanLimit,
        [&](const Item& item) {
            // Every element recorded is asked this once, after the prune: what was read of it is
            // kept here (all but its children, which the walk asks for next).
            scan.visit(item, lastCount);
            const bool webArea = scan.visitedWebArea();
            scan.take(scan.walkState.recorded++, lastCount);
            return webArea;
        },
        [&scan, kids = std::vector<Item>()](const Item&) mutable {
            // One buffer for every element's children: the walk moves them out at once.
            kids.clear();
            const ax::Value::List* list = scan.visitedErrors[childrenAt] == ax::Error::success
                                              ? scan.visited[childrenAt].list()
                                              : nullptr;
            if (list) {
                scan.wide[std::size_t(scan.walkState.recorded - 1)] =
                    list->size() > std::size_t(ConversationTreeWalk::stretchLength);
                scan.adopt(*list, scan.walkState.recorded - 1, kids);
            }
            return std::span<Item>(kids);
        },
        [&](const Item& item) {
            ++scan.walkState.steps;
            // A page embedded in a Claude window (a preview, a browser) is no part of the
            // conversation and may hold thousands of elements.
            if (!claudeHost)
                return false;
            scan.visit(item, lastCount);
            const QString role = scan.visitedRoleText();
            if (role != QLatin1String("AXWebArea"))
                return false;
            return ConversationTreeWalk::isClaudeEmbeddedWebArea(
                role, stringAttribute(QStringLiteral("AXURL"), scan.handles[std::size_t(item.handle)]));
        },
        [&scan](const Item& item) {
            if (!scan.visitedStretched)
                return -1;
            qsizetype count = 0;
            if (ax::getAttributeValueCount(scan.handles[std::size_t(item.handle)], kChildren, count) !=
                ax::Error::success)
                return 0; // as a list of children that cannot be read gives none
            // A list that has become short is read whole with the rest next time.
            scan.wide[std::size_t(scan.walkState.recorded - 1)] = count > ConversationTreeWalk::stretchLength;
            return int(std::min(count, qsizetype(std::numeric_limits<int>::max())));
        },
        [&scan, kids = std::vector<Item>(), part = ax::Value()](const Item& parent, int place, int from,
                                                                int count) mutable {
            kids.clear();
            if (ax::copyAttributeValues(scan.handles[std::size_t(parent.handle)], kChildren, from, count,
                                        part) == ax::Error::success &&
                part.list())
                scan.adopt(*part.list(), place, kids);
            return std::span<Item>(kids);
        });
    reading.truncated = scan.walk.truncated;
    reading.count = int(scan.walk.elements.size());
    scan.finish(reading.count);
    scan.parents.resize(std::size_t(reading.count));
    scan.wide.resize(std::size_t(reading.count));
    for (int i = 0; i < reading.count; ++i)
        scan.parents[std::size_t(i)] = scan.walk.elements[std::size_t(i)].parent;
}

// --- each element's labels and place, from what the walk read

void ClaudeWindowTracker::classifyElements(Reading& reading) {
    Scan& scan = *scan_;
    const int count = reading.count, lastCount = reading.lastCount;
    // The last read's nodes stand for the elements that read as they did then; a window
    // unchanged since the last read builds no tree of its own, and only the first difference
    // starts a new tree (from a copy of the equal part before it). Equal parents give equal
    // children, so the children are listed only when a tree is built.
    const std::vector<SentMessageTree::Node>* previous =
        derived_ && derived_->provider == reading.provider && derived_->nodes.size() == std::size_t(lastCount)
            ? &derived_->nodes
            : nullptr;
    const int reusable = previous ? lastCount : 0;
    bool unchanged = previous != nullptr && lastCount == count &&
                     std::equal(scan.parents.begin(), scan.parents.end(), scan.lastParents.begin());
    std::vector<SentMessageTree::Node>& built = reading.built;
    std::vector<std::vector<int>> children;
    const auto listChildren = [&] {
        children.assign(std::size_t(count), {});
        for (int i = 0; i < count; ++i)
            if (const int parent = scan.parents[std::size_t(i)]; parent >= 0)
                children[std::size_t(parent)].push_back(i);
    };
    if (!unchanged) {
        built.reserve(std::size_t(count));
        listChildren();
    }
    scan.owns.resize(std::size_t(count));
    scan.inMenu.resize(std::size_t(count));
    scan.inSources.resize(std::size_t(count));
    scan.sourcesDepth.resize(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        // The last read's node for this element, when the element reads as it did then.
        const SentMessageTree::Node* last =
            i < reusable && scan.same[std::size_t(i)] ? &(*previous)[std::size_t(i)] : nullptr;
        const RoleKind kind = last ? scan.lastOwns[std::size_t(i)].kind : kindOf(scan.role(i));
        if (kind == RoleKind::webArea)
            probeWebArea(reading, scan.element(i));
        const Scan::OwnLabels own = last ? Scan::OwnLabels{{}, {}, false, scan.lastOwns[std::size_t(i)].panel}
                                         : scan.ownLabels(i, kind);
        const bool inSources = scan.place(i, kind, own.panel);
        if (last ? last->userBubble : own.bubble)
            ++reading.bubbles;
        if (unchanged) {
            if (last && last->excluded == inSources)
                continue;
            unchanged = false;
            built.reserve(std::size_t(count));
            built.assign(previous->begin(), previous->begin() + i);
            listChildren();
        }
        if (last) {
            SentMessageTree::Node node = *last;
            node.children = std::move(children[std::size_t(i)]);
            node.excluded = inSources;
            built.push_back(std::move(node));
        } else {
            built.emplace_back(scan.role(i), std::move(own.labels), std::nullopt,
                               std::move(own.positionLabels), own.bubble, false,
                               std::move(children[std::size_t(i)]), inSources);
        }
    }
    reading.unchanged = unchanged;
    if (!unchanged) {
        // A new tree: what was derived from the last one no longer holds.
        Derived fresh;
        fresh.provider = reading.provider;
        fresh.nodes = built;
        // The conversation list beside the conversation holds other conversations' titles.
        fresh.navigation = NavigationScope::indices(built);
        for (int index : fresh.navigation)
            built[std::size_t(index)].excluded = true;
        derived_ = std::move(fresh);
    }
    reading.nodes = unchanged ? &derived_->nodes : &built;
}

void ClaudeWindowTracker::probeWebArea(Reading& reading, const ax::Element& element) {
    // What a web area says of its address is read whenever the window is.
    Reading::WebAreas& areas = reading.webAreas;
    ++areas.count;
    const auto url = stringAttribute(QStringLiteral("AXURL"), element);
    const auto document = stringAttribute(QStringLiteral("AXDocument"), element);
    areas.readableURLs += url ? 1 : 0;
    areas.readableDocuments += document ? 1 : 0;
    if (auto address = SnapshotRules::webAreaAddress(url, document))
        areas.addresses.append(*address);
}

// --- the model controls and the picker

void ClaudeWindowTracker::readControls(Reading& reading) {
    // What the labels show is worked out once per tree; whether a control is enabled or
    // selected is read again on every read.
    if (!derived_->controls)
        derived_->controls = Controls::of(*reading.nodes, *scan_, reading.count);
    const Controls& controls = *derived_->controls;
    reading.controls = &controls;
    reading.generating = controls.generating;
    reading.copyAnchors = controls.copyAnchors;
    // The picker is the first control naming a model; on Claude hosts, the first one enabled.
    for (int candidate : controls.pickerCandidates) {
        if (reading.claudeHost()) {
            ax::Value enabled;
            if (ax::copyAttributeValue(scan_->element(candidate), QStringLiteral("AXEnabled"), enabled) ==
                    ax::Error::success &&
                enabled.asBoolean() == false)
                continue;
        }
        reading.pickerIndex = candidate;
        break;
    }
    // The "work" or "chat" switch that is on names the surface.
    for (const auto& [index, surface] : controls.surfaceSwitches) {
        const ax::Element& element = scan_->element(index);
        ax::Value value;
        bool selected = false;
        if (ax::copyAttributeValue(element, kValue, value) == ax::Error::success)
            selected = value.asBoolean() == true;
        if (!selected &&
            ax::copyAttributeValue(element, QStringLiteral("AXSelected"), value) == ax::Error::success)
            selected = value.asBoolean() == true;
        if (selected)
            reading.selectedSurface = surface;
    }
}

// --- the rendered messages (a window unchanged since the last read gives what it gave then)

void ClaudeWindowTracker::collectMessages(Reading& reading) {
    Scan& scan = *scan_;
    if (!reading.unchanged) {
        if (reading.provider == AIProvider::openAI) {
            derived_->messages = chatGPTRenderedMessages(*reading.nodes, scan);
        } else {
            derived_->messages = SentMessageTree::extract(*reading.nodes);
            renderedMessagePositions_.clear();
        }
        derived_->positions = renderedMessagePositions_;
    } else {
        renderedMessagePositions_ = derived_->positions;
    }
    // This read's values are the next read's to compare with.
    std::swap(scan.parents, scan.lastParents);
    std::swap(scan.owns, scan.lastOwns);
    std::swap(scan.wide, scan.lastWide);
    scan.lastCount = reading.count;

    reading.candidates = int(derived_->messages.size());
    // What the tree's messages give is derived again only when it needed the live tree: a
    // position read from the elements themselves may change while the tree's labels do not.
    if (!derived_->kept) {
        bool liveRead = false;
        Derived::Kept kept = keptMessages(reading.count, liveRead);
        (liveRead ? reading.ownKept : derived_->kept.emplace()) = std::move(kept);
    }
    reading.kept = derived_->kept ? &*derived_->kept : &reading.ownKept;
    const auto& positions = reading.kept->positions;
    reading.positioned =
        int(std::count_if(positions.begin(), positions.end(), [](auto p) { return p.has_value(); }));
}

ClaudeWindowTracker::Derived::Kept ClaudeWindowTracker::keptMessages(int count, bool& liveRead) const {
    const std::vector<SentMessageTree::Message>& extracted = derived_->messages;
    Derived::Kept kept;
    std::vector<ConversationText::Message> visible;
    for (std::size_t index = 0; index < extracted.size(); ++index) {
        const auto& message = extracted[index];
        ConversationText::Message candidate = message.conversationMessage();
        if (!SnapshotRules::isKeptMessage(candidate))
            continue;
        std::optional<int> position;
        if (index < renderedMessagePositions_.size())
            position = renderedMessagePositions_[index];
        if (!position && message.root >= 0 && message.root < count) {
            position = RenderedMessages::messagePosition(scan_->element(message.root));
            liveRead = true;
        }
        kept.positions.push_back(position);
        std::optional<QString> identifier =
            position ? std::optional<QString>(RenderedMessages::messageIdentifier(*position, message.role))
                     : std::nullopt;
        kept.identified = kept.identified && identifier.has_value();
        kept.identifiers.push_back(std::move(identifier));
        visible.push_back(std::move(candidate));
    }
    kept.visible = std::move(visible);
    // Identifiers order the remembered history only when every message has one.
    if (!kept.identified)
        std::fill(kept.identifiers.begin(), kept.identifiers.end(), std::nullopt);
    return kept;
}

// --- the conversation's identity

void ClaudeWindowTracker::establishIdentity(Reading& reading) {
    selectNavigationRow(reading);
    const QStringList& webAddresses = reading.webAreas.addresses;
    reading.windowDocument = stringAttribute(QStringLiteral("AXDocument"), reading.window);
    reading.document = SnapshotRules::conversationDocument(reading.windowDocument, webAddresses);
    if (reading.windowDocument && ConversationIdentity::canonicalConversationURL(*reading.windowDocument))
        ++reading.webAreas.canonicalCandidates;
    for (const QString& address : webAddresses)
        if (ConversationIdentity::canonicalConversationURL(address))
            ++reading.webAreas.canonicalCandidates;
    const auto windowTitleText = stringAttribute(kTitle, reading.window);
    reading.windowTitle =
        windowTitleText ? ConversationIdentity::conversationTitle(*windowTitleText) : std::nullopt;
    // The window's title, else the selected row's, else the first session a rename button names.
    reading.title = reading.windowTitle;
    if (!reading.title)
        reading.title = reading.navigationTitle;
    if (!reading.title && !reading.controls->renameTitles.isEmpty())
        reading.title = reading.controls->renameTitles.first();
    const QString fallback = QStringLiteral("pid:") + QString::number(reading.application.processIdentifier);
    reading.identity = ConversationIdentity::stableConversationIdentity(
        reading.document, reading.bundle, reading.activeKey, reading.title, fallback);
    if (reading.document && !reading.document->isEmpty())
        reading.identitySource = QStringLiteral("document");
    else if (reading.activeKey && ConversationIdentity::isDurableNavigationKey(*reading.activeKey))
        reading.identitySource = QStringLiteral("navigation");
    else if (reading.identity.verified)
        reading.identitySource = QStringLiteral("title");
    else
        reading.identitySource = QStringLiteral("fallback");
}

void ClaudeWindowTracker::selectNavigationRow(Reading& reading) {
    const std::vector<SentMessageTree::Node>& nodes = *reading.nodes;
    std::set<int> selected;
    for (int index : derived_->navigation) {
        const ax::Element& element = scan_->element(index);
        ax::Value value;
        bool isSelected =
            ax::copyAttributeValue(element, QStringLiteral("AXSelected"), value) == ax::Error::success &&
            value.asBoolean() == true;
        if (!isSelected)
            if (auto current = identityAttribute(QStringLiteral("AXARIACurrent"), element))
                isSelected = NavigationScope::isCurrent(*current);
        if (!isSelected)
            isSelected =
                NavigationScope::isActiveSidebarRow(stringValues(QStringLiteral("AXDOMClassList"), element));
        if (isSelected)
            selected.insert(index);
    }
    const std::set<int> leaves = NavigationScope::selectedLeaves(nodes, selected);
    if (leaves.empty())
        return;
    const int row = *leaves.begin();
    const ax::Element& element = scan_->element(row);
    reading.activeKey = identityAttribute(QStringLiteral("AXDOMIdentifier"), element);
    if (!reading.activeKey || reading.activeKey->isEmpty())
        reading.activeKey = identityAttribute(QStringLiteral("AXIdentifier"), element);
    // The row's own label, else its first labelled child's.
    QString label = labelOf(nodes[std::size_t(row)].labels);
    if (label.isEmpty())
        for (int child : nodes[std::size_t(row)].children)
            if (!nodes[std::size_t(child)].labels.isEmpty()) {
                label = labelOf(nodes[std::size_t(child)].labels);
                break;
            }
    reading.navigationTitle = ConversationIdentity::conversationTitleFromNavigationLabel(label);
}

// --- a host's own archive may hold the conversation's whole history; memory completes what
// the window shows

bool ClaudeWindowTracker::consultArchivesAndMemory(Reading& reading) {
    const MessageList& visible = reading.kept->visible;
    reading.archive =
        archivedHistory(reading.bundle, reading.windowTitle, reading.document, visible, reading.generating);
    const ArchivedHistory& archive = reading.archive;
    if (archive.outcome == ArchivedHistory::Outcome::unverified) {
        reading.archiveAddition = archive.unverifiedSummary;
        return false;
    }
    reading.archiveAddition += archive.summaryAddition;
    const bool archiveVerified = archive.outcome == ArchivedHistory::Outcome::verified;
    if (archiveVerified || archive.outcome == ArchivedHistory::Outcome::identified) {
        reading.identity = {archive.conversationID, true};
        reading.identitySource = QStringLiteral("document");
    }

    if (reading.identity.verified)
        reading.memoryKey = rawValue(reading.provider) + QLatin1Char('|') + reading.identity.identity;
    const MessageList& observed = archiveVerified ? archive.messages : visible;
    const bool trusted = reading.kept->identified && !archiveVerified;
    // Memory settled on what the last read gave it, and this read gives it the same: observing
    // it again would recall the same history, so the recall kept from then stands. An unchanged
    // archive or window hands over the very list it handed over then, which compares equal
    // without a look at its messages.
    reading.observationKept = observed_ && memory_->settled() &&
                              observed_->memoryChanges == memory_->changes() &&
                              observed_->key == reading.memoryKey && observed_->trusted == trusted &&
                              observed_->fromArchive == archiveVerified &&
                              (archiveVerified || observed_->identifiers == reading.kept->identifiers) &&
                              observed_->messages == observed;
    if (reading.observationKept) {
        reading.observed = &*observed_;
        ++keptObservations_;
    } else {
        observed_.reset();
        // The archive's messages carry no identifiers: memory takes missing ones as none.
        std::vector<std::optional<QString>> identifiers =
            archiveVerified ? std::vector<std::optional<QString>>() : reading.kept->identifiers;
        reading.ownRecall =
            memory_->observe(reading.memoryKey, observed, identifiers, trusted, environment_.clock->now());
        if (reading.memoryKey && memory_->settled()) {
            observed_ =
                Observed{reading.memoryKey,
                         observed,
                         archiveVerified ? std::vector<std::optional<QString>>() : std::move(identifiers),
                         trusted,
                         archiveVerified,
                         memory_->changes(),
                         std::move(reading.ownRecall),
                         {}};
            reading.observed = &*observed_;
        }
    }
    reading.remembered = int(reading.recall().messages.size());
    reading.windows = reading.recall().windows;
    return true;
}

// --- the snapshot and its evidence

std::optional<ClaudeWindowTracker::ConversationSnapshot>
ClaudeWindowTracker::composeSnapshot(Reading& reading) {
    ConversationSnapshot snapshot;
    snapshot.provider = reading.provider;
    readModelSetting(reading, snapshot);
    composeHistory(reading, snapshot);
    if (reading.observed) {
        // The kept recall's messages are the same on every read that takes it.
        if (!observed_->sentContext)
            observed_->sentContext = ConversationText::hasSentContext(observed_->recall.messages.begin(),
                                                                      observed_->recall.messages.end());
        reading.sentContext = *observed_->sentContext;
    } else {
        reading.sentContext = ConversationText::hasSentContext(reading.ownRecall.messages.begin(),
                                                               reading.ownRecall.messages.end());
    }
    writeIdentityEvidence(reading, snapshot);
    if (reading.pickerIndex < 0 || !*reading.sentContext)
        return std::nullopt;
    return snapshot;
}

void ClaudeWindowTracker::readModelSetting(Reading& reading, ConversationSnapshot& snapshot) {
    const std::vector<SentMessageTree::Node>& nodes = *reading.nodes;
    const Controls& controls = *reading.controls;
    const bool claudeHost = reading.claudeHost();
    std::optional<ax::Element> picker;
    std::optional<QString> effortRead;
    std::optional<bool> extendedRead;
    reading.pickerFound = reading.pickerIndex >= 0;
    reading.modelParsed = false;
    reading.effortParsed = false;
    if (reading.pickerIndex >= 0) {
        picker = scan_->element(reading.pickerIndex);
        const QString label = labelOf(nodes[std::size_t(reading.pickerIndex)].labels);
        const auto model = ModelControlLabel::model(label);
        reading.modelParsed = model.has_value();
        snapshot.currentModel = model.value_or(QString());
        // The picker's own effort, else the separate effort control's.
        effortRead = ModelControlLabel::effort(label);
        if (!effortRead && controls.effortIndex >= 0)
            effortRead = ModelControlLabel::effort(labelOf(nodes[std::size_t(controls.effortIndex)].labels));
        reading.effortParsed = effortRead.has_value();
        snapshot.currentEffort = effortRead.value_or(QString());
        if (claudeHost) {
            snapshot.currentModelID = ModelControlLabel::modelIdentifier(label);
            const QStringList words = text::words(ModelControlLabel::normalize(label));
            extendedRead = words.contains(QStringLiteral("extended"));
            snapshot.currentExtended = *extendedRead;
            snapshot.currentSettingKnown =
                ClaudeModelSetting::currentSettingKnown(snapshot.currentModelID, effortRead, extendedRead);
        } else {
            snapshot.currentSettingKnown = model.has_value() && effortRead.has_value();
        }
    }
    if (claudeHost) {
        // What the open model menu offers, kept as evidence for a while.
        const auto menu =
            ClaudeModelMenu::claudeModelMenuRows(reading.application, controls.menuInWindow, picker);
        snapshot.availableModelIDs = availability_.update(
            reading.application.processIdentifier, snapshot.currentModelID, menu.rows,
            reading.recall().scopeID, menu.state, effortRead, extendedRead, environment_.clock->uptime());
        snapshot.claudeAvailability = availability_.evidence();
    } else {
        snapshot.surfaceMode = reading.bundle == codexBundleID
                                   ? std::optional<QString>(QStringLiteral("work"))
                                   : reading.selectedSurface;
        snapshot.availableModels = OpenAIRouting::reportedModels(snapshot.surfaceMode, controls.shownModels);
        snapshot.availableSettings = controls.shownSettings;
        SnapshotRules::sortSettings(snapshot.availableSettings);
    }
}

void ClaudeWindowTracker::composeHistory(Reading& reading, ConversationSnapshot& snapshot) {
    const ConversationMemoryStore::Recall& recall = reading.recall();
    const MessageList& visible = reading.kept->visible;
    const std::vector<std::optional<int>>& positions = reading.kept->positions;
    const bool identified = reading.kept->identified;
    // Memory's recall is the snapshot's history as it is: shared, never copied.
    snapshot.messages = recall.messages;
    reading.users = snapshot.messages.userCount();
    reading.assistants = snapshot.messages.assistantCount();
    snapshot.conversationID = reading.identity.identity;
    snapshot.conversationScopeID = recall.scopeID;
    snapshot.conversationTitle = reading.title;
    snapshot.conversationIdentityVerified = reading.identity.verified;
    snapshot.hasAttachment = reading.controls->attachment;
    snapshot.historyCurrent =
        reading.archive.latestVisibleUserCurrent.value_or(!reading.controls->scrollSeen);
    reading.historyCurrent = snapshot.historyCurrent;
    std::vector<int> userPositions;
    std::optional<int> latest;
    for (std::size_t i = 0; i < visible.size(); ++i) {
        if (!positions[i])
            continue;
        latest = std::max(latest.value_or(0), *positions[i]);
        if (visible[i].role == QLatin1String("user"))
            userPositions.push_back(*positions[i]);
    }
    snapshot.historyPosition = latest;
    const int visibleUsers = visible.userCount();
    snapshot.observedUserTurnCount = progress_.observe(
        reading.memoryKey.value_or(rawValue(reading.provider) + QLatin1Char('|') + reading.identity.identity),
        userPositions, std::max(reading.users, visibleUsers));
    // Complete: the archive's whole thread, or every numbered message from the first one up to
    // the newest, seen now or remembered, with the view at the latest message.
    bool fromFirst = false;
    if (identified && !positions.empty()) {
        std::vector<int> seen;
        for (const auto& p : positions)
            seen.push_back(*p);
        std::sort(seen.begin(), seen.end());
        fromFirst = seen.front() == 1 && seen.back() == int(seen.size()) &&
                    std::adjacent_find(seen.begin(), seen.end()) == seen.end();
    }
    const bool rememberedWhole =
        identified && recall.maximumPosition && *recall.maximumPosition == reading.remembered;
    const bool archiveVerified = reading.archive.outcome == ArchivedHistory::Outcome::verified;
    snapshot.historyComplete = archiveVerified || (snapshot.historyCurrent && (fromFirst || rememberedWhole));
}

void ClaudeWindowTracker::writeIdentityEvidence(const Reading& reading,
                                                const ConversationSnapshot& snapshot) {
    const Reading::WebAreas& areas = reading.webAreas;
    QMap<QString, qint64> probe{{"webAreas", areas.count},
                                {"readableWebURLs", areas.readableURLs},
                                {"readableWebDocuments", areas.readableDocuments},
                                {"windowDocumentReadable", reading.windowDocument ? 1 : 0},
                                {"canonicalCandidates", areas.canonicalCandidates}};
    std::vector<json::Object> details;
    for (int index : derived_->navigation) {
        const auto& node = (*reading.nodes)[std::size_t(index)];
        if (node.role == QLatin1String("AXRow") || node.role == QLatin1String("AXLink") ||
            node.role == QLatin1String("AXButton"))
            details.push_back(json::Object{{"index", index}, {"hasLabel", !node.labels.isEmpty()}});
    }
    // The identity evidence says how the name was decided, never what it is.
    Diagnostics::identityEvidence(
        qint64(details.size()), reading.identitySource == QLatin1String("navigation"),
        reading.title.has_value(), reading.document.has_value(), snapshot.historyCurrent,
        reading.identitySource, probe, details,
        QDir(environment_.diagnosticsFolder).filePath(Diagnostics::identityStatusFileName));
}

void ClaudeWindowTracker::finishRead(Reading& reading, const std::optional<ConversationSnapshot>& snapshot) {
    QStringList items;
    if (reading.stage != QLatin1String("read"))
        items << QStringLiteral("read=") + reading.stage;
    if (reading.reachedWindow) {
        items << QStringLiteral("rememberedMessages=%1").arg(reading.remembered)
              << QStringLiteral("memoryWindows=%1").arg(reading.windows)
              << QStringLiteral("positionedMessages=%1").arg(reading.positioned)
              << QStringLiteral("transcriptUsers=%1").arg(reading.users)
              << QStringLiteral("transcriptAssistants=%1").arg(reading.assistants)
              << QStringLiteral("renderedUserBubbles=%1").arg(reading.bubbles)
              << QStringLiteral("renderedMessageCandidates=%1").arg(reading.candidates)
              << QStringLiteral("sentMessageCopyAnchors=%1").arg(reading.copyAnchors);
        if (!reading.identitySource.isEmpty())
            items << QStringLiteral("identitySource=") + reading.identitySource;
    }
    items << QStringLiteral("axScanTruncated=") + flag(reading.truncated)
          << QStringLiteral("modelPickerFound=") + flag(reading.pickerFound)
          << QStringLiteral("selectedModelParsed=") + flag(reading.modelParsed)
          << QStringLiteral("selectedEffortParsed=") + flag(reading.effortParsed)
          << QStringLiteral("historyCurrent=") + flag(reading.historyCurrent)
          << QStringLiteral("sentContextReadable=") + flag(reading.sentContext);
    lastReadSummary_ = items.join(QStringLiteral("; ")) + reading.archiveAddition;

    modelControlsUnavailable_ = reading.pickerFound == false;
    userContextUnavailable_ = reading.sentContext == false;
    recommendationContextIncomplete_ =
        !snapshot || !snapshot->conversationIdentityVerified || !snapshot->currentSettingKnown;
    if (snapshot && snapshot->conversationIdentityVerified) {
        unreadableVerifiedConversationID_.reset();
        lastVerifiedConversationID_ = snapshot->conversationID;
    } else if (!snapshot) {
        unreadableVerifiedConversationID_ = lastVerifiedConversationID_;
        lastVerifiedConversationID_.reset();
    } else {
        unreadableVerifiedConversationID_.reset();
        lastVerifiedConversationID_.reset();
    }

    if (!snapshot) {
        usageSnapshot_.reset();
        usageTurnsFrom_ = {};
    } else {
        UsageSnapshot usage;
        usage.provider = rawValue(snapshot->provider);
        usage.surface = snapshot->surfaceMode.value_or(QStringLiteral("chat"));
        if (snapshot->conversationIdentityVerified)
            usage.thread = DebugMonitor::shared().fingerprint(snapshot->conversationID);
        // A conversation that reads as before keeps the turns already built for it: the very same
        // list is recognised at once. Any other list gives new turns; looking through a long one
        // for a difference would cost more than building them again.
        const MessageList& messages = snapshot->messages;
        if (usageSnapshot_ && usageTurnsFrom_.isSameListAs(messages)) {
            usage.turns = std::move(usageSnapshot_->turns);
        } else {
            usage.turns.reserve(messages.size());
            for (const auto& message : messages)
                usage.turns.push_back({message.role, message.text});
        }
        usageTurnsFrom_ = messages;
        if (snapshot->currentSettingKnown)
            usage.setting = ObservedSetting{snapshot->currentModel, snapshot->currentEffort};
        usage.complete = snapshot->historyComplete;
        usage.generating = reading.generating;
        usageSnapshot_ = std::move(usage);
    }
}

} // namespace quillmere
