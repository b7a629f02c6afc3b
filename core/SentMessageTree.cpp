#include "core/SentMessageTree.h"

#include "core/Text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace quillmere::SentMessageTree {

namespace {

// What the extractor needs to know of an element's role.
enum RoleFlag : std::uint8_t {
    controlRole = 1,  // never contributes text; its subtree is a menu or a command
    editableRole = 2, // holds an unsent draft: the composer or an in-place edit
    headingRole = 4,
    staticTextRole = 8,
    buttonRole = 16,
    pageRole = 32, // the whole window or page: never one message's boundary
};

// Whether a role of the right length is `name`; the compiler turns the fixed-size comparison into
// a few word loads.
template <std::size_t N> bool roleIs(const QChar* role, const char16_t (&name)[N]) {
    return std::memcmp(role, name, (N - 1) * sizeof(char16_t)) == 0;
}

// Role classification by length first: this runs on every element of every tick.
std::uint8_t roleFlags(const QString& role) {
    const QChar* c = role.constData();
    const auto is = [c](const auto& name) { return roleIs(c, name); };
    switch (role.size()) {
    case 6:
        return is(u"AXMenu") ? controlRole : 0;
    case 8:
        return is(u"AXButton") ? (controlRole | buttonRole) : is(u"AXWindow") ? pageRole : 0;
    case 9:
        return is(u"AXHeading")                         ? headingRole
               : is(u"AXWebArea")                       ? pageRole
               : (is(u"AXMenuBar") || is(u"AXToolbar")) ? controlRole
                                                        : 0;
    case 10:
        return (is(u"AXMenuItem") || is(u"AXCheckBox"))   ? controlRole
               : (is(u"AXTextArea") || is(u"AXComboBox")) ? editableRole
                                                          : 0;
    case 11:
        return is(u"AXTextField") ? editableRole : 0;
    case 12:
        return is(u"AXStaticText") ? staticTextRole : is(u"AXMenuButton") ? controlRole : 0;
    case 13:
        return (is(u"AXPopUpButton") || is(u"AXMenuBarItem") || is(u"AXRadioButton")) ? controlRole
               : is(u"AXSearchField")                                                 ? editableRole
                                                                                      : 0;
    default:
        return 0;
    }
}

bool isSpace(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x80)
        return u == u' ' || (u >= u'\t' && u <= u'\r');
    return text::isWhiteSpace(u);
}

// The label without surrounding white space, as a view into the node's own label: the tree
// outlives the extraction, and copying every text element's label on every tick is wasted work.
QStringView visibleText(const QString& label) {
    qsizetype begin = 0, end = label.size();
    while (begin < end && isSpace(label[begin]))
        ++begin;
    while (end > begin && isSpace(label[end - 1]))
        --end;
    return QStringView(label).mid(begin, end - begin);
}

// A live status line such as "Thinking for 42 seconds": it changes every second and is no part of
// the reply.
bool isStatusLine(QStringView text) {
    if (text.size() < 7 || (text[0] != u't' && text[0] != u'T'))
        return false;
    if (!text.startsWith(QLatin1StringView("thinking"), Qt::CaseInsensitive) &&
        !text.startsWith(QLatin1StringView("thought"), Qt::CaseInsensitive))
        return false;
    QStringList parts = text::lowercased(ConversationText::normalize(text)).split(QLatin1Char(' '));
    if (parts.size() != 4 ||
        (parts[0] != QLatin1StringView("thinking") && parts[0] != QLatin1StringView("thought")))
        return false;
    if (parts[1] != QLatin1StringView("for") || parts[2].isEmpty() ||
        !std::all_of(parts[2].begin(), parts[2].end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return false;
    return parts[3] == QLatin1StringView("second") || parts[3] == QLatin1StringView("seconds") ||
           parts[3] == QLatin1StringView("minute") || parts[3] == QLatin1StringView("minutes");
}

// The tree reachable from node 0 in depth-first pre-order. Each node appears once, under the
// first parent that reaches it, so a subtree is a contiguous range of positions. The arrays are
// written once per position, so they are left uninitialised rather than cleared first.
struct Layout {
    int size = 0;                    // number of positions
    std::unique_ptr<int[]> order;    // node index at each position
    std::unique_ptr<int[]> parent;   // parent position of each position, -1 for the root
    std::unique_ptr<int[]> end;      // one past the last position of each position's subtree
    std::unique_ptr<int[]> position; // position of each node index, -1 when unreachable
};

// `visit(position, node, parent position)` runs as each element is placed, while it is in cache;
// parents are always visited before their children.
template <typename Visit> Layout layout(const std::vector<Node>& nodes, Visit&& visit) {
    Layout out;
    const int count = int(std::min<std::size_t>(nodes.size(), std::numeric_limits<int>::max()));
    if (count == 0)
        return out;
    out.position = std::make_unique_for_overwrite<int[]>(std::size_t(count));
    out.order = std::make_unique_for_overwrite<int[]>(std::size_t(count));
    out.parent = std::make_unique_for_overwrite<int[]>(std::size_t(count));
    out.end = std::make_unique_for_overwrite<int[]>(std::size_t(count));
    int* const position = out.position.get();
    int* const order = out.order.get();
    int* const parentOf = out.parent.get();
    std::fill_n(position, count, -1);
    std::vector<std::pair<int, int>> stack = {{0, -1}}; // (node, parent position)
    stack.reserve(64);
    int size = 0;
    while (!stack.empty()) {
        const auto [node, parent] = stack.back();
        stack.pop_back();
        if (position[node] >= 0)
            continue;
        const int pos = size++;
        position[node] = pos;
        order[pos] = node;
        parentOf[pos] = parent;
        const Node& element = nodes[std::size_t(node)];
        visit(pos, element, parent);
        const auto& children = element.children;
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            if (*it >= 0 && *it < count && position[*it] < 0)
                stack.emplace_back(*it, pos);
    }
    out.size = size;
    int* const end = out.end.get();
    for (int p = 0; p < size; ++p)
        end[p] = p + 1;
    for (int p = size - 1; p > 0; --p) {
        const int up = parentOf[p];
        end[up] = std::max(end[up], end[p]);
    }
    return out;
}

Layout layout(const std::vector<Node>& nodes) {
    return layout(nodes, [](int, const Node&, int) {});
}

// What the extractor knows of each position of the layout, gathered in the one visit.
struct Fact {
    std::uint16_t state;
    std::uint8_t role; // RoleFlag bits
    int slot;          // index of the element's text or heading, or -1
};

// Running totals of a per-position flag, for counting inside any subtree or range in O(1).
class Prefix {
public:
    void reset(const Fact* facts, int count, std::uint16_t mask) {
        sums_.assign(std::size_t(count) + 1, 0);
        for (std::size_t i = 0; i < std::size_t(count); ++i)
            sums_[i + 1] = sums_[i] + ((facts[i].state & mask) ? 1 : 0);
    }
    int in(int begin, int end) const { return sums_[std::size_t(end)] - sums_[std::size_t(begin)]; }

private:
    std::vector<int> sums_;
};

class Extractor {
public:
    explicit Extractor(const std::vector<Node>& nodes) : nodes_(nodes) {}

    std::vector<Message> run() {
        classify();
        headingMessages();
        fallbackMessages();
        bubbleMessages();
        const auto byRoot = [](const Message& a, const Message& b) { return a.root < b.root; };
        if (!std::is_sorted(messages_.begin(), messages_.end(), byRoot))
            std::stable_sort(messages_.begin(), messages_.end(), byRoot);
        return std::move(messages_);
    }

private:
    // Per-position state.
    enum State : std::uint16_t {
        skipped = 1,     // inside an excluded subtree
        hidden = 2,      // inside a control, an editable field or a speaker heading
        heading = 4,     // a speaker heading
        editable = 8,    // an editable field
        user = 16,       // a user bubble or user action
        editing = 32,    // a user bubble holding an editable field
        claimed = 64,    // already part of a message
        bubble = 128,    // a user bubble
        action = 256,    // a user action
        anchor = 512,    // a user action or a sent message's copy button: where a turn ends
        boundary = 1024, // holds an anchor: the element of a turn without a heading
    };

    struct HeadingInfo {
        QString role;
        QString inlineText;
    };

    // A text element's visible text, with the label it was read from so that a message made of
    // that label alone can share its storage instead of copying it.
    struct Text {
        QStringView view;
        const QString* label;
    };

    int size() const { return tree_.size; }
    const HeadingInfo& headingOf(int pos) const {
        return headingInfo_[std::size_t(facts_[std::size_t(pos)].slot)];
    }
    bool has(int pos, std::uint16_t flag) const { return facts_[std::size_t(pos)].state & flag; }

    void classify() {
        const std::size_t capacity = nodes_.size();
        facts_ = std::make_unique_for_overwrite<Fact[]>(capacity);
        texts_.reserve(capacity / 2);
        bool anyEditable = false, anyUser = false;
        // Inlined into the walk: a call per element would cost more than most elements' work.
        tree_ = layout(
            nodes_, [&](int p, const Node& e, int up) __attribute__((always_inline)) {
                const std::uint16_t above = up >= 0 ? facts_[std::size_t(up)].state : 0;
                Fact& f = facts_[std::size_t(p)];
                f = Fact{0, 0, -1};
                if ((above & skipped) || e.excluded) {
                    f.state = skipped;
                    return;
                }
                const std::uint8_t role = roleFlags(e.role);
                f.role = role;
                const bool parentHidden = above & (hidden | heading);
                std::uint16_t st = 0;
                if (parentHidden || (role & (controlRole | editableRole)))
                    st |= hidden;
                if (role & editableRole) {
                    st |= editable;
                    anyEditable = true;
                }
                if (e.userAction || e.userBubble) {
                    st |= user | (e.userBubble ? bubble : 0) | (e.userAction ? action | anchor : 0);
                    anyUser = true;
                    if (e.userBubble)
                        bubbles_.push_back(p);
                }
                if (!parentHidden && (role & headingRole)) {
                    if (auto speaker = ConversationText::headingRole(e.labels)) {
                        st |= heading;
                        f.slot = int(headingInfo_.size());
                        headingInfo_.push_back(HeadingInfo{std::move(*speaker), {}});
                    } else if (auto inlineMessage = ConversationText::message(e.labels)) {
                        st |= heading;
                        f.slot = int(headingInfo_.size());
                        headingInfo_.push_back(
                            HeadingInfo{std::move(inlineMessage->role), std::move(inlineMessage->text)});
                    }
                    if (st & heading)
                        headings_.push_back(p);
                } else if (!(st & hidden) && (role & staticTextRole)) {
                    f.slot = readText(e);
                }
                // Read while the element is at hand; only the fallback for hosts without headings
                // needs it.
                if ((role & buttonRole) && isCopyButton(e))
                    st |= anchor;
                if (st & anchor)
                    anchors_.push_back(p);
                f.state = st;
            });
        const int n = size();
        // A user bubble holding an editable field is a message being edited in place: whatever
        // it shows is not what was sent.
        if (anyEditable && anyUser) {
            // Rare: only a window with an editable field inside a user bubble pays for this.
            Prefix editables;
            editables.reset(facts_.get(), n, editable);
            for (int p = 0; p < n; ++p)
                if (has(p, bubble) && !has(p, skipped) && editables.in(p, tree_.end[std::size_t(p)]) > 0)
                    facts_[std::size_t(p)].state |= editing;
            editing_.reset(facts_.get(), n, editing);
            anyEditing_ = true;
        }
    }

    // A text element's text: its first label with visible text, unless that is a timestamp or a
    // live status line. Returns its index in texts_, or -1.
    int readText(const Node& e) {
        for (const QString& label : e.labels) {
            QStringView t = visibleText(label);
            if (t.isEmpty())
                continue;
            if (ConversationText::isMessageMetadata(t) || isStatusLine(t))
                return -1;
            texts_.push_back(Text{t, &label});
            return int(texts_.size()) - 1;
        }
        return -1;
    }

    void claim(int begin, int end) {
        for (int p = begin; p < end; ++p)
            facts_[std::size_t(p)].state |= claimed;
    }

    // The text of the one part of a message: the label itself when the part is all of it.
    static QString wholeText(QStringView view, const QString& label) {
        // Only a label with its own reference-counted storage is shared; one that merely points
        // at someone else's characters is copied, so the message never outlives its text.
        if (view.size() == label.size() && label.data_ptr().isMutable())
            return label;
        return view.toString();
    }

    // Adds a message built from an inline heading's text (leadPos, or -1) and the unclaimed text
    // elements of [begin, end), unless it is empty or [checkBegin, checkEnd) is being edited.
    void add(const QString& role, int rootPos, int leadPos, int begin, int end, int checkBegin,
             int checkEnd) {
        if (anyEditing_ && editing_.in(checkBegin, checkEnd) > 0)
            return;
        // Every part is non-empty, so the text is the parts joined by line feeds.
        qsizetype length = 0;
        std::size_t parts = 0;
        const QString* lead = nullptr;
        if (leadPos >= 0) {
            lead = &headingOf(leadPos).inlineText;
            if (lead->isEmpty())
                lead = nullptr;
            else
                length += lead->size() + 1, ++parts;
        }
        int first = -1;
        for (int p = begin; p < end; ++p) {
            const Fact& f = facts_[std::size_t(p)];
            if (!(f.state & (claimed | heading)) && f.slot >= 0) {
                length += texts_[std::size_t(f.slot)].view.size() + 1, ++parts;
                if (first < 0)
                    first = p;
            }
        }
        if (parts == 0)
            return;
        std::vector<int> roots;
        roots.reserve(parts);
        QString text;
        if (parts == 1) {
            if (lead) {
                text = *lead;
                roots.push_back(tree_.order[std::size_t(leadPos)]);
            } else {
                const Text& t = texts_[std::size_t(facts_[std::size_t(first)].slot)];
                text = wholeText(t.view, *t.label);
                roots.push_back(tree_.order[std::size_t(first)]);
            }
        } else {
            text = QString(length - 1, Qt::Uninitialized);
            QChar* out = text.data();
            const auto put = [&](QStringView part) {
                if (out != text.constData())
                    *out++ = QLatin1Char('\n');
                std::memcpy(out, part.data(), std::size_t(part.size()) * sizeof(QChar));
                out += part.size();
            };
            if (lead) {
                put(*lead);
                roots.push_back(tree_.order[std::size_t(leadPos)]);
            }
            for (int p = first; p < end; ++p) {
                const Fact& f = facts_[std::size_t(p)];
                if ((f.state & (claimed | heading)) || f.slot < 0)
                    continue;
                put(texts_[std::size_t(f.slot)].view);
                roots.push_back(tree_.order[std::size_t(p)]);
            }
        }
        messages_.push_back(
            Message{role, std::move(text), tree_.order[std::size_t(rootPos)], std::move(roots)});
    }

    // A speaker heading starts a message that runs to the next heading, within the heading's
    // parent. When that parent holds this heading alone it is the message's element; otherwise
    // the hosts lay turns out as flat siblings and the heading itself stands for its message.
    void headingMessages() {
        messages_.reserve(headingInfo_.size());
        const int n = size();
        const std::vector<int>& positions = headings_;
        for (std::size_t k = 0; k < positions.size(); ++k) {
            const int h = positions[k];
            const int next = k + 1 < positions.size() ? positions[k + 1] : n;
            const int up = tree_.parent[std::size_t(h)];
            const int scope = up >= 0 ? up : h;
            const int scopeEnd = tree_.end[std::size_t(scope)];
            const int regionBegin = tree_.end[std::size_t(h)];
            const int regionEnd = std::max(regionBegin, std::min(next, scopeEnd));
            // Heading positions are sorted, so the scope holds no other heading exactly when its
            // neighbours in that order lie outside it.
            const bool alone = (k == 0 || positions[k - 1] < scope) && next >= scopeEnd;
            const int rootPos = alone ? scope : h;
            const int claimEnd = alone ? scopeEnd : regionEnd;
            add(headingOf(h).role, rootPos, h, regionBegin, regionEnd, rootPos, claimEnd);
            claim(rootPos, claimEnd);
        }
    }

    // Hosts without speaker headings still put copy and edit actions on each turn; the element
    // holding such an action bounds the turn, unless it is the whole window or page.
    void fallbackMessages() {
        bool any = false;
        for (int p : anchors_) {
            if (p == 0 || has(p, skipped | claimed))
                continue;
            const int up = tree_.parent[std::size_t(p)];
            if (up == 0 || (facts_[std::size_t(up)].role & pageRole))
                continue;
            facts_[std::size_t(up)].state |= boundary;
            any = true;
        }
        if (!any)
            return;
        const int n = size();
        Prefix users;
        users.reset(facts_.get(), n, user);
        // Only the outermost boundaries: a code block's copy button inside a reply's turn must not
        // split the reply.
        for (int p = 0; p < n;) {
            if (!has(p, boundary)) {
                ++p;
                continue;
            }
            const int end = tree_.end[std::size_t(p)];
            add(users.in(p, end) > 0 ? userRole() : assistantRole(), p, -1, p, end, p, end);
            claim(p, end);
            p = end;
        }
    }

    static const QString& userRole() {
        static const QString role = QStringLiteral("user");
        return role;
    }
    static const QString& assistantRole() {
        static const QString role = QStringLiteral("assistant");
        return role;
    }

    static bool isCopyButton(const Node& e) {
        const auto copy = [](const QString& label) { return ConversationText::isSentUserCopyAction(label); };
        if (std::any_of(e.labels.begin(), e.labels.end(), copy))
            return true;
        // Absent semantic labels share the labels' storage: no need to read them twice.
        return e.semanticLabels.constData() != e.labels.constData() &&
               std::any_of(e.semanticLabels.begin(), e.semanticLabels.end(), copy);
    }

    // A rendered user bubble that no heading or action claimed is a user message of its own; a
    // bubble inside it is part of it.
    void bubbleMessages() {
        for (int p : bubbles_) {
            if (has(p, claimed))
                continue;
            const int end = tree_.end[std::size_t(p)];
            add(userRole(), p, -1, p, end, p, end);
            claim(p, end);
        }
    }

    const std::vector<Node>& nodes_;
    Layout tree_;
    std::unique_ptr<Fact[]> facts_;
    std::vector<Text> texts_;
    std::vector<HeadingInfo> headingInfo_;
    std::vector<int> headings_; // positions of speaker headings, in order
    std::vector<int> anchors_;  // positions of anchors, in order
    std::vector<int> bubbles_;  // positions of user bubbles, in order
    Prefix editing_;
    bool anyEditing_ = false;
    std::vector<Message> messages_;
};

} // namespace

Node::Node(QString role, QStringList labels, std::optional<QStringList> semanticLabels,
           QStringList positionLabels, bool userBubble, bool userAction, std::vector<int> children,
           bool excluded)
    : role(std::move(role)), labels(std::move(labels)), positionLabels(std::move(positionLabels)),
      userBubble(userBubble), userAction(userAction), children(std::move(children)), excluded(excluded) {
    this->semanticLabels = semanticLabels ? std::move(*semanticLabels) : this->labels;
}

std::optional<Ordinal> conversationOrdinal(QStringView label) {
    QStringList words = text::words(label);
    if (words.size() != 4 || words[0] != QLatin1StringView("Message") || words[2] != QLatin1StringView("of"))
        return std::nullopt;
    const auto number = [](const QString& word) -> std::optional<int> {
        if (word.isEmpty() ||
            !std::all_of(word.begin(), word.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            return std::nullopt;
        auto value = text::parseInteger(word);
        if (!value || *value > std::numeric_limits<int>::max())
            return std::nullopt;
        return int(*value);
    };
    auto position = number(words[1]);
    auto total = number(words[3]);
    if (!position || !total || *position < 1 || *position > *total)
        return std::nullopt;
    return Ordinal{*position, *total};
}

std::optional<int> messagePosition(int index, const std::vector<Node>& nodes) {
    if (index < 0 || std::size_t(index) >= nodes.size())
        return std::nullopt;
    const Layout tree = layout(nodes);
    // A relative time or any other label is no position: only the hosts' "Message N" labels are.
    const auto read = [](const Node& e) -> std::optional<int> {
        for (const QString& label : e.positionLabels) {
            if (!label.startsWith(QLatin1StringView("Message ")))
                continue;
            std::optional<qint64> candidate;
            if (auto ordinal = conversationOrdinal(label))
                candidate = ordinal->position;
            else
                candidate = text::parseInteger(QStringView(label).mid(8));
            if (candidate && *candidate >= 1 && *candidate <= std::numeric_limits<int>::max())
                return int(*candidate);
        }
        return std::nullopt;
    };
    int pos = tree.position[std::size_t(index)];
    if (pos < 0)
        return read(nodes[std::size_t(index)]);
    for (int step = 0; step <= 5 && pos >= 0; ++step, pos = tree.parent[std::size_t(pos)])
        if (auto value = read(nodes[std::size_t(tree.order[std::size_t(pos)])]))
            return value;
    return std::nullopt;
}

std::vector<Message> extract(const std::vector<Node>& nodes) {
    return Extractor(nodes).run();
}

} // namespace quillmere::SentMessageTree
