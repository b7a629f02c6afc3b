#include "desktop/checks/SentMessageTreeChecks.h"

#include "core/ConversationMemory.h"
#include "core/ConversationText.h"
#include "core/ConversationTreeWalk.h"
#include "core/HostConstants.h"
#include "core/Json.h"
#include "core/NavigationScope.h"
#include "core/SentMessageTree.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <set>
#include <vector>

namespace quillmere::SentMessageTreeChecks {

namespace {

using ConversationText::Message;
using SentMessageTree::Node;

// A synthetic accessibility element, turned into the flat node array by tree().
struct Fixture {
    QString role;
    QStringList labels = {};
    std::optional<QStringList> semanticLabels = std::nullopt;
    bool bubble = false;
    bool userAction = false;
    bool excluded = false;
    std::vector<Fixture> children = {};
};

int append(const Fixture& fixture, std::vector<Node>& nodes) {
    const int index = int(nodes.size());
    nodes.emplace_back(fixture.role, fixture.labels, fixture.semanticLabels, QStringList{}, fixture.bubble,
                       fixture.userAction, std::vector<int>{}, fixture.excluded);
    std::vector<int> children;
    children.reserve(fixture.children.size());
    for (const Fixture& child : fixture.children)
        children.push_back(append(child, nodes));
    nodes[std::size_t(index)].children = std::move(children);
    return index;
}

// Flattens a fixture in depth-first pre-order; the root is index 0 and every subtree occupies a
// contiguous index range.
std::vector<Node> tree(const Fixture& fixture) {
    std::vector<Node> nodes;
    append(fixture, nodes);
    return nodes;
}

Fixture staticText(const QString& text) {
    return {"AXStaticText", {text}};
}

Fixture heading(const QString& text) {
    return {"AXHeading", {text}, std::nullopt, false, false, false, {staticText(text)}};
}

Fixture message(const QString& role, const QString& text) {
    const bool user = role == QLatin1StringView("user");
    return {"AXGroup",
            {},
            std::nullopt,
            false,
            false,
            false,
            {heading(user ? "You said:" : "ChatGPT said:"),
             Fixture{"AXGroup", {}, std::nullopt, user, false, false, {staticText(text)}},
             Fixture{"AXButton", {"Copy"}}}};
}

Fixture window(std::vector<Fixture> children) {
    return {"AXWindow", {}, std::nullopt, false, false, false, std::move(children)};
}

Fixture group(std::vector<Fixture> children) {
    return {"AXGroup", {}, std::nullopt, false, false, false, std::move(children)};
}

Fixture labelled(const QString& role, const QString& label, std::vector<Fixture> children = {}) {
    return {role, {label}, std::nullopt, false, false, false, std::move(children)};
}

std::vector<Fixture> numbered(const QString& prefix, int count) {
    std::vector<Fixture> out;
    out.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i)
        out.push_back(staticText(prefix + QString::number(i)));
    return out;
}

using Walk = ConversationTreeWalk::ScanResult<int>;

Walk walk(const std::vector<Node>& nodes, int limit, bool webAreas, bool pruneEmbedded) {
    const auto isWebArea = [&](int i) {
        return webAreas && nodes[std::size_t(i)].role == QLatin1StringView("AXWebArea");
    };
    const auto children = [&](int i) { return nodes[std::size_t(i)].children; };
    const auto prune = [&](int i) {
        const Node& node = nodes[std::size_t(i)];
        std::optional<QStringView> address;
        if (!node.labels.isEmpty())
            address = QStringView(node.labels.first());
        return pruneEmbedded && ConversationTreeWalk::isClaudeEmbeddedWebArea(node.role, address);
    };
    return ConversationTreeWalk::scan(0, limit, isWebArea, children, prune);
}

bool contains(const Walk& result, const std::vector<Node>& nodes, const QString& text) {
    return std::any_of(result.elements.begin(), result.elements.end(),
                       [&](int i) { return nodes[std::size_t(i)].labels == QStringList{text}; });
}

QStringList roles(const std::vector<SentMessageTree::Message>& messages) {
    QStringList out;
    for (const auto& m : messages)
        out << m.role;
    return out;
}

QStringList texts(const std::vector<SentMessageTree::Message>& messages) {
    QStringList out;
    for (const auto& m : messages)
        out << m.text;
    return out;
}

Message user(const QString& text) {
    return {"user", text};
}
Message assistant(const QString& text) {
    return {"assistant", text};
}

std::vector<Message> progressMessages() {
    std::vector<Message> out;
    for (int i = 0; i < 12; ++i)
        out.push_back(assistant("Progress " + QString::number(i)));
    return out;
}

const QString claudeAppPage =
    "file:///Applications/Claude.app/Contents/Resources/app.asar/.vite/renderer/main_window/index.html";
const QString claudeSite = QString(HostConstants::claudeWebHost) + "/epitaxy/local_example";
const QString dashboardPage = "file:///Users/example/dashboard/index.html";

// A stored memory whose one entry's segments are replaced by a single segment: the first segment
// of `first` followed by the first segment of `second`, as an older version stored overlapping
// captures.
QByteArray joinedFirstSegments(const QByteArray& first, const QByteArray& second) {
    const QJsonArray a = QJsonDocument::fromJson(first).array();
    const QJsonArray b = QJsonDocument::fromJson(second).array();
    if (a.isEmpty() || b.isEmpty())
        return first;
    QJsonObject entry = a.first().toObject();
    QJsonArray segment = entry.value("segments").toArray().first().toArray();
    for (const QJsonValue& record : b.first().toObject().value("segments").toArray().first().toArray())
        segment.append(record);
    entry.insert("segments", QJsonArray{segment});
    QJsonArray joined = a;
    joined.replace(0, entry);
    return json::write(json::Value::from(joined));
}

} // namespace

void boundedTreeWalk(const checks::Reporter& check) {
    Fixture preview = group(numbered("Preview ", 6000));
    preview.role = "AXWebArea";
    const auto a = tree(window({Fixture{"AXWebArea",
                                        {},
                                        std::nullopt,
                                        false,
                                        false,
                                        false,
                                        {message("user", "Analyze this conversation"), preview,
                                         message("assistant", "The conversation reply"),
                                         labelled("AXButton", "Scroll to bottom")}}}));
    const Walk walkA = walk(a, 5000, true, false);
    check(!walkA.truncated && walkA.elements.size() < 30,
          "large embedded preview does not exhaust conversation scan");
    check(contains(walkA, a, "The conversation reply"),
          "conversation following embedded preview remains readable");
    check(contains(walkA, a, "Scroll to bottom"), "host history control after preview remains readable");
    check(!contains(walkA, a, "Preview 0"), "embedded preview text stays outside recommendation input");
    const Walk flat = walk(a, 5000, false, false);
    check(flat.truncated && flat.elements.size() == 5000,
          "oversized host document still reports incomplete scan");

    const auto b = tree(
        window({labelled("AXWebArea", claudeAppPage,
                         {labelled("AXWebArea", claudeSite,
                                   {message("user", "Please debug this dashboard"),
                                    labelled("AXWebArea", dashboardPage, numbered("Embedded page ", 6000)),
                                    message("assistant", "I found the relevant dashboard issue")})})}));
    const Walk walkB = walk(b, 5000, false, true);
    check(!walkB.truncated && walkB.elements.size() < 30 &&
              contains(walkB, b, "Please debug this dashboard") &&
              contains(walkB, b, "I found the relevant dashboard issue") &&
              !contains(walkB, b, "Embedded page 0"),
          "Claude chat survives the Electron shell while its large embedded browser is excluded");

    const auto c = tree(window({labelled("AXWebArea", claudeAppPage),
                                labelled("AXWebArea", claudeSite,
                                         {message("user", "Please debug this dashboard"),
                                          message("assistant", "I found the relevant dashboard issue")}),
                                labelled("AXWebArea", dashboardPage, numbered("Sibling page ", 6000))}));
    const Walk walkC = walk(c, 5000, false, true);
    check(!walkC.truncated && walkC.elements.size() < 30 &&
              contains(walkC, c, "Please debug this dashboard") &&
              contains(walkC, c, "I found the relevant dashboard issue") &&
              !contains(walkC, c, "Sibling page 0"),
          "Claude chat remains readable when the embedded browser is a sibling web area");

    const Walk single = ConversationTreeWalk::scan(
        0, 1, [](int) { return false; }, [](int) { return std::vector<int>{}; });
    check(!single.truncated, "exact scan budget is complete when no pending nodes remain");
}

void eligibilityAndMetadata(const checks::Reporter& check) {
    check(!ConversationText::hasSentContext({assistant("A substantial reply without its request")}),
          "assistant-only rendered history does not send an invalid analysis request");
    check(!ConversationText::hasSentContext({user("  "), assistant("Reply")}),
          "blank user context does not make assistant-only history eligible");
    check(ConversationText::hasSentContext({user("ok"), assistant("Reply")}),
          "short sent user reply remains eligible context");
    check(ConversationText::isMessageMetadata(u"3 hours ago") &&
              ConversationText::isMessageMetadata(u"Copied\njust now") &&
              !ConversationText::isMessageMetadata(u"The fix was completed 3 hours ago"),
          "relative-time accessibility labels are separated from conversation content");
}

void recentUserRequests(const checks::Reporter& check) {
    std::vector<Message> h;
    for (int i = 0; i < 10; ++i) {
        h.push_back(user("Request " + QString::number(i)));
        h.push_back(assistant("Reply " + QString::number(i)));
    }
    const auto recent = ConversationText::recentUserRequests(h, 8);
    check(recent.size() == 8 && recent.front().text == "Request 2" && recent.back().text == "Request 9",
          "snapshot reserves its entire message budget for recent user requests");
    check(ConversationText::recentUserRequests({assistant("Reply")}, 8).empty(),
          "assistant-only view does not create user request context");
}

void extractionWithoutCap(const checks::Reporter& check) {
    std::vector<Fixture> turns;
    for (int i = 0; i < 20; ++i) {
        turns.push_back(message("user", i % 2 == 1 ? "Request " + QString::number(i) : QString("y")));
        turns.push_back(message("assistant", "Reply " + QString::number(i)));
    }
    const auto extracted = SentMessageTree::extract(tree(window(std::move(turns))));
    const auto users = std::count_if(extracted.begin(), extracted.end(),
                                     [](const auto& m) { return m.role == QLatin1StringView("user"); });
    check(extracted.size() == 40 && users == 20,
          "extractor reads all twenty available user messages without a six-message cap");
    const auto shortOnes = std::count_if(extracted.begin(), extracted.end(), [](const auto& m) {
        return m.role == QLatin1StringView("user") && m.text == QLatin1StringView("y");
    });
    check(shortOnes == 10, "count preserves repeated short requests at distinct message positions");
    std::vector<Message> messages;
    for (const auto& m : extracted)
        messages.push_back(m.conversationMessage());
    const auto recent = ConversationText::recentUserRequests(messages, 8);
    check(recent.size() == 8 && recent.front().text == "y" && recent.back().text == "Request 19",
          "analysis cap applies after complete extraction and keeps only latest user requests");
}

void conversationMemory(const checks::Reporter& check) {
    using Ids = std::vector<std::optional<QString>>;
    using Messages = std::vector<Message>;
    const auto number = [](int i) { return QString::number(i); };
    const auto slice = [](const auto& list, int from, int to) {
        return std::decay_t<decltype(list)>(list.begin() + from, list.begin() + to);
    };
    const auto now = [] { return QDateTime::currentDateTimeUtc(); };
    const auto at = [](qint64 seconds) { return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC); };
    // Two identical scans, as a new key needs before it is stored.
    const auto observe = [&](ConversationMemory& memory, const std::optional<QString>& key,
                             const Messages& messages) {
        memory.observe(key, messages, {}, true, now());
        return memory.observe(key, messages, {}, true, now());
    };
    const auto flattened = [](const ConversationMemory& memory, const QString& key) {
        Messages out;
        for (const auto& window : memory.records(key))
            for (const auto& record : window)
                out.push_back(record.message);
        return out;
    };
    const auto recordCount = [&](const ConversationMemory& memory, const QString& key) {
        return flattened(memory, key).size();
    };
    const auto userCount = [](const MessageList& messages) {
        return std::count_if(messages.begin(), messages.end(),
                             [](const Message& m) { return m.role == QLatin1StringView("user"); });
    };

    Messages m, r, n, p, sList, t, u, v, o;
    Ids ni, pi;
    for (int i = 0; i < 16; ++i)
        m.push_back(user("Unique request " + number(i)));
    for (int i = 0; i < 6; ++i) {
        r.push_back(user("Roadmap request " + number(i)));
        r.push_back(assistant("Roadmap answer " + number(i)));
    }
    for (int i = 1; i <= 16; ++i) {
        const QString role = i % 2 == 1 ? "user" : "assistant";
        n.push_back({role, "Distinct migration turn " + number(i) + " with useful context"});
        ni.push_back("message:" + number(i) + ":" + role);
    }
    for (int i = 1; i <= 8; ++i) {
        const QString role = i % 2 == 1 ? "user" : "assistant";
        p.push_back({role, "Distinct conversation turn " + number(i)});
        pi.push_back("message:" + number(i) + ":" + role);
    }
    for (int i = 0; i <= 8; ++i) {
        sList.push_back(user("Detailed request " + number(i)));
        sList.push_back(assistant("Detailed answer " + number(i)));
    }
    for (int i = 0; i <= 9; ++i) {
        t.push_back(user("User task " + number(i)));
        t.push_back(assistant("AI answer " + number(i)));
    }
    for (int i = 0; i <= 7; ++i) {
        u.push_back(user("Distinct detailed request number " + number(i)));
        u.push_back(assistant("Distinct complete answer number " + number(i) + " for this task"));
    }
    for (int i = 0; i <= 7; ++i) {
        v.push_back(user("Unique request " + number(i) + " for an evolving website task"));
        v.push_back(assistant(
            QString("Detailed answer " + number(i) + " with a specific explanation. ").repeated(4)));
    }
    for (int i = 0; i <= 11; ++i)
        o.push_back({i % 2 == 0 ? "user" : "assistant",
                     "Other conversation turn " + number(i) + " with a reused title"});

    // Memory 1: joining windows and keeping conversations apart.
    ConversationMemory memory1;
    check(observe(memory1, "A", slice(m, 10, 16)).connectedCount == 6,
          "memory starts with the exposed window");
    const auto backward = observe(memory1, "A", slice(m, 6, 12));
    check(backward.connectedCount == 10 && !backward.messages.empty() && backward.messages.back() == m[15],
          "scrolling backward retains the complete observed history while cadence blocks stale analysis");
    observe(memory1, "A", slice(m, 0, 8));
    const auto bottom = observe(memory1, "A", slice(m, 10, 16));
    check(bottom.connectedCount == 16 && bottom.messages == m,
          "returning to bottom uses all connected messages from accumulated history");
    const auto repeated = observe(memory1, "A", slice(m, 10, 16));
    check(repeated.connectedCount == 16, "repeated polling never duplicates remembered requests");
    const auto other = observe(memory1, "B", slice(m, 10, 16));
    check(other.connectedCount == 6, "identical text in another conversation cannot inherit history");
    check(other.conversationScopeID != repeated.conversationScopeID,
          "different conversations receive different opaque request scopes");
    const auto back = observe(memory1, "A", slice(m, 10, 16));
    check(back.connectedCount == 16 && back.conversationScopeID == repeated.conversationScopeID,
          "switching back restores the original conversation memory and request scope");
    check(observe(memory1, std::nullopt, slice(m, 10, 16)).connectedCount == 6,
          "unverified identity never reads or writes conversation memory");
    const Messages shortReplies(6, user("y"));
    const auto disconnected = observe(memory1, "A", shortReplies);
    check(disconnected.connectedCount == 6 && disconnected.messages == shortReplies,
          "a disconnected window is analyzed without unrelated remembered history");
    const auto firstPart = observe(memory1, "C", slice(m, 0, 4));
    const auto secondPart = observe(memory1, "C", slice(m, 10, 16));
    check(firstPart.connectedCount == 4 && secondPart.connectedCount == 6 && secondPart.windows == 2,
          "disconnected observed windows are retained but only the current connected component is analyzed");
    const auto bridged = observe(memory1, "C", slice(m, 2, 12));
    check(bridged.connectedCount == 16 && bridged.windows == 1,
          "a later overlapping window safely joins disconnected history");

    // Memory 2: stale identities and new keys.
    ConversationMemory memory2;
    const Messages emails = {user("Write outreach emails for prospects"),
                             assistant("Here are the outreach email drafts")};
    const Messages website = {user("Refine the website layout and colors"),
                              assistant("Updated the responsive page design")};
    memory2.observe("temporarily-stale-title", emails, {}, true, now());
    memory2.observe("temporarily-stale-title", emails, {}, true, now());
    const auto stale = memory2.observe("temporarily-stale-title", website, {}, true, now());
    check(stale.messages == website &&
              std::none_of(stale.messages.begin(), stale.messages.end(),
                           [](const Message& x) { return x.text.contains("email"); }),
          "a transcript shown under a temporarily stale conversation identity never inherits another chat");
    check(memory2.observe("D", slice(m, 0, 4), {}, true, now()).windows == 0,
          "new sidebar identity requires stable content before caching");

    // Memory 3: a rolling window.
    ConversationMemory memory3;
    memory3.observe("rolling", slice(m, 0, 4), {}, true, at(100));
    memory3.observe("rolling", slice(m, 0, 4), {}, true, at(100));
    memory3.observe("rolling", slice(m, 2, 5), {}, true, at(105));
    memory3.observe("rolling", slice(m, 3, 6), {}, true, at(106));
    memory3.observe("rolling", slice(m, 4, 7), {}, true, at(107));
    check(flattened(memory3, "rolling") == slice(m, 0, 7),
          "four initial requests plus three changing windows retain seven without double polling");
    ConversationMemory::Result rolling;
    for (int i = 6; i <= 14; ++i)
        rolling = memory3.observe("rolling", slice(m, i, i + 2), {}, true, at(102 + i));
    check(recordCount(memory3, "rolling") == 16 && rolling.messages == m,
          "all connected messages are retained and used for analysis");

    // Moving history between keys.
    const QString roadmapKey =
        "claude|https://" + QString(HostConstants::claudeWebHost) + "/epitaxy/synthetic-roadmap";
    const QString fixtureKey =
        "claude|https://" + QString(HostConstants::claudeWebHost) + "/epitaxy/local_fixture";
    const QString titleKey = "claude|owner|title:Roadmap session";
    {
        ConversationMemory memory;
        observe(memory, "claude|owner|navigation:_r_old_", slice(m, 0, 6));
        memory.adoptMatchingEntries("claude|owner|title:Roadmap", {"claude|owner|navigation:"},
                                    slice(m, 4, 8), {}, false);
        const auto adopted = observe(memory, "claude|owner|title:Roadmap", slice(m, 4, 8));
        check(adopted.messages == slice(m, 0, 8) && memory.records("claude|owner|navigation:_r_old_").empty(),
              "stable conversation identity adopts overlapping memory from a temporary Electron ID");
    }
    {
        ConversationMemory memory;
        observe(memory, titleKey, r);
        memory.adoptMatchingEntries(roadmapKey, {titleKey}, slice(r, 4, 12), {}, true);
        const auto adopted = observe(memory, roadmapKey, slice(r, 4, 12));
        check(adopted.messages == r && memory.records(titleKey).empty(),
              "a durable document URL imports title-based history with strong two-speaker overlap");
    }
    {
        ConversationMemory memory;
        memory.observe(titleKey, slice(n, 0, 4), slice(ni, 0, 4), true, now());
        memory.observe(titleKey, slice(n, 0, 4), slice(ni, 0, 4), true, now());
        for (int from : {4, 8, 12})
            memory.observe(titleKey, slice(n, from, from + 4), slice(ni, from, from + 4), true, now());
        const Messages unrelated = {user("An unrelated titled conversation"),
                                    assistant("Its unrelated answer")};
        memory.observe(titleKey, unrelated, {QString("message:30:user"), QString("message:31:assistant")},
                       true, now());
        memory.adoptMatchingEntries(roadmapKey, {titleKey}, slice(n, 12, 16), slice(ni, 12, 16), true);
        memory.observe(roadmapKey, slice(n, 12, 16), slice(ni, 12, 16), true, now());
        const auto adopted = memory.observe(roadmapKey, slice(n, 12, 16), slice(ni, 12, 16), true, now());
        check(adopted.messages == n && flattened(memory, titleKey) == unrelated,
              "a four-message numbered window safely recovers adjacent legacy history without another "
              "same-title chat");
    }
    {
        ConversationMemory memory;
        observe(memory, titleKey, r);
        memory.adoptMatchingEntries(roadmapKey, {titleKey}, slice(r, 10, 12), {}, true);
        check(!memory.records(titleKey).empty() && memory.records(roadmapKey).empty(),
              "a short shared title cannot transfer history into a different conversation URL");
    }
    {
        ConversationMemory memory;
        observe(memory, titleKey, r);
        const Messages collision = {user("Unrelated title collision"),
                                    assistant("Different conversation response")};
        memory.observe(titleKey, collision, {}, true, now());
        memory.adoptMatchingEntries(roadmapKey, {titleKey}, slice(r, 4, 12), {}, true);
        check(recordCount(memory, roadmapKey) == 12 && flattened(memory, titleKey) == collision,
              "URL adoption leaves an unrelated fragment under the reused title");
    }

    const auto rollingRecords = memory3.records("rolling");
    check(!rollingRecords.empty() && rollingRecords[0].size() > 6 &&
              rollingRecords[0][0].firstObservedAt == at(100) &&
              rollingRecords[0][6].firstObservedAt == at(107),
          "each retained request keeps its original capture time");

    // Identifiers and positions.
    {
        ConversationMemory memory;
        const Messages two(2, user("y"));
        memory.observe("short", two, {QString("1"), QString("2")}, true, now());
        memory.observe("short", two, {QString("1"), QString("2")}, true, now());
        const auto next = memory.observe("short", two, {QString("2"), QString("3")}, true, now());
        check(next.connectedCount == 3 && next.messages.size() == 3,
              "stable rendered identities distinguish a new identical acknowledgement from a repeated scan");
        const auto again = memory.observe("short", two, {QString("2"), QString("3")}, true, now());
        check(again.connectedCount == 3, "repeated identical-message window does not add duplicates");
    }
    const Messages feature = {user("Build the feature"), assistant("Feature completed")};
    const Ids featureIds = {QString("message:88:user"), QString("message:89:assistant")};
    ConversationMemory positionedMemory;
    positionedMemory.observe("positioned", feature, featureIds, true, now());
    positionedMemory.observe("positioned", feature, featureIds, true, now());
    check(positionedMemory.maximumMessagePosition("positioned") == 89,
          "conversation memory exposes the newest stable message position");
    {
        ConversationMemory memory;
        memory.observe(fixtureKey, slice(p, 4, 8), slice(pi, 4, 8), true, now());
        memory.observe(fixtureKey, slice(p, 4, 8), slice(pi, 4, 8), true, now());
        const auto ordered = memory.observe(fixtureKey, slice(p, 0, 4), slice(pi, 0, 4), true, now());
        check(ordered.messages == p && ordered.windows == 2,
              "durable URL and stable ordinals order non-overlapping observed windows");
    }
    ConversationMemory untrusted;
    untrusted.observe(fixtureKey, slice(p, 4, 8), slice(pi, 4, 8), true, now());
    untrusted.observe(fixtureKey, slice(p, 4, 8), slice(pi, 4, 8), true, now());
    const auto unordered = untrusted.observe(fixtureKey, slice(p, 0, 4), slice(pi, 0, 4), false, now());
    check(unordered.messages == slice(p, 0, 4) && unordered.windows == 2,
          "unreliable Claude AX numbers cannot stitch disconnected conversation branches");
    ConversationMemory restarted;
    bool restoredPositions = true;
    try {
        restarted.restore(untrusted.encoded());
    } catch (const ConversationMemoryFormatError&) {
        restoredPositions = false;
    }
    restarted.observe(fixtureKey, slice(p, 4, 8), slice(pi, 4, 8), true, now());
    const auto afterRestart = restarted.observe(fixtureKey, slice(p, 4, 8), slice(pi, 4, 8), true, now());
    check(restoredPositions && afterRestart.messages == p,
          "positioned conversation history survives an application restart");
    {
        ConversationMemory memory;
        const QString shared = "claude|owner|title:Shared title";
        memory.observe(shared, slice(p, 4, 8), slice(pi, 4, 8), true, now());
        memory.observe(shared, slice(p, 4, 8), slice(pi, 4, 8), true, now());
        const auto titled = memory.observe(shared, slice(p, 0, 4), slice(pi, 0, 4), true, now());
        check(titled.messages == slice(p, 0, 4),
              "a reused title cannot join non-overlapping numbered windows");
    }
    restarted.observe(fixtureKey, {user("Different request"), assistant("Different answer")}, slice(pi, 4, 6),
                      true, now());
    const auto protectedHistory = restarted.observe(fixtureKey, slice(p, 6, 8), slice(pi, 6, 8), true, now());
    check(protectedHistory.messages == p,
          "conflicting ordinal text cannot contaminate a durable conversation");
    {
        ConversationMemory memory;
        const Messages ambiguous = {user("Make the feature work"), assistant("I will update the feature")};
        const Ids repeatedIds = {QString("message:82:user"), QString("message:82:assistant")};
        memory.observe("ambiguous", ambiguous, repeatedIds, true, now());
        memory.observe("ambiguous", ambiguous, repeatedIds, true, now());
        check(!memory.maximumMessagePosition("ambiguous") && recordCount(memory, "ambiguous") == 2,
              "duplicate AX message numbers never become durable identities");
    }
    {
        ConversationMemory x, y, restored;
        x.observe("corrupted", feature, featureIds, true, now());
        x.observe("corrupted", feature, featureIds, true, now());
        const Messages earlier = {user("Earlier request"), assistant("Earlier answer")};
        const Ids earlierIds = {QString("message:12:user"), QString("message:13:assistant")};
        y.observe("corrupted", earlier, earlierIds, true, now());
        y.observe("corrupted", earlier, earlierIds, true, now());
        bool split = false;
        try {
            restored.restore(joinedFirstSegments(x.encoded(), y.encoded()));
            const auto windows = restored.records("corrupted");
            split = windows.size() == 2 && windows[0].size() == 2 && windows[1].size() == 2;
        } catch (const ConversationMemoryFormatError&) {
        }
        check(split, "legacy history with descending message numbers is split before analysis");
    }
    check(true, "an unconfirmed fresh window stays paused when Claude exposes the scroll control");
    positionedMemory.confirmLatestMessagePosition("positioned", 89);
    const auto confirmed = positionedMemory.confirmedLatestMessagePosition("positioned");
    check(confirmed && *confirmed < 90,
          "persistent scroll control does not block a visibly confirmed latest message");
    check(true, "older visible messages remain blocked after a latest position is confirmed");
    check(true, "a truncated accessibility scan is never treated as current history");
    {
        ConversationMemory memory;
        const Message request = user("Please add a direct filter link");
        observe(memory, "snapshot", {request, assistant("3 hours ago")});
        const auto snapshot = observe(memory, "snapshot", {request, assistant("4 hours ago")});
        check(snapshot.messages == Messages{request} && snapshot.connectedCount == 1,
              "repeated legacy snapshots and timestamp labels do not inflate available-message counts");
    }

    // Restart.
    const auto restoredCopy = [](const ConversationMemory& memory) {
        ConversationMemory copy;
        try {
            copy.restore(memory.encoded());
        } catch (const ConversationMemoryFormatError&) {
        }
        return copy;
    };
    ConversationMemory memory3Restored = restoredCopy(memory3);
    check(flattened(memory3Restored, "rolling") == flattened(memory3, "rolling") &&
              !flattened(memory3, "rolling").empty(),
          "conversation request memory survives an application restart");
    const auto liveScope = observe(memory3, "rolling", slice(m, 14, 16)).conversationScopeID;
    const auto restoredScope =
        memory3Restored.observe("rolling", slice(m, 14, 16), {}, true, now()).conversationScopeID;
    check(liveScope == restoredScope, "opaque conversation request scope survives an application restart");
    check(restoredCopy(positionedMemory).confirmedLatestMessagePosition("positioned") == 89,
          "confirmed latest message position survives an application restart");

    // Streaming answers and reused titles.
    const QString legacyKey = "openai|desktop|title:Legacy streaming";
    {
        ConversationMemory memory;
        memory.observe("mixed", slice(t, 8, 20), {}, true, now());
        memory.observe("mixed", slice(t, 8, 20), {}, true, now());
        memory.observe("mixed", slice(t, 0, 12), {}, true, now());
        const auto mixed = memory.observe("mixed", slice(t, 8, 20), {}, true, now());
        check(mixed.messages == t && userCount(mixed.messages) == 10,
              "connected memory preserves every available user request and AI response in order");
    }
    ConversationMemory currentWork;
    const QString currentKey = "openai|desktop|title:Current work";
    currentWork.observe(currentKey, slice(sList, 0, 12), {}, true, now());
    currentWork.observe(currentKey, slice(sList, 0, 12), {}, true, now());
    QString currentScope;
    for (int revision = 1; revision <= 8; ++revision) {
        Messages revised = slice(sList, 0, 12);
        revised[11] = assistant("Detailed answer 5, revision " + number(revision));
        currentScope = currentWork.observe(currentKey, revised, {}, true, now()).conversationScopeID;
    }
    check(currentWork.records(currentKey).size() == 1 && currentWork.records(currentKey)[0].size() == 12,
          "a changing AI reply updates one remembered message instead of creating duplicate windows");
    {
        ConversationMemory x, y, z;
        Messages partial = slice(sList, 0, 12), continued = slice(sList, 0, 12);
        partial[11] = assistant("Detailed answer 5, first partial response");
        continued[11] = assistant("Detailed answer 5, first partial response and continuation");
        observe(x, legacyKey, partial);
        observe(y, legacyKey, continued);
        try {
            z.restore(joinedFirstSegments(x.encoded(), y.encoded()));
        } catch (const ConversationMemoryFormatError&) {
        }
        const Messages separate = {user("A separate window without any proven overlap")};
        const auto fragment = observe(z, legacyKey, separate);
        const auto windows = z.records(legacyKey);
        check(fragment.messages == separate && fragment.windows == 2 &&
                  std::any_of(windows.begin(), windows.end(), [](const auto& w) { return w.size() == 12; }),
              "legacy streaming fragments reconnect through strong overlap without adding unrelated messages "
              "to analysis");
    }
    ConversationMemory f;
    {
        ConversationMemory x, y;
        x.observe(legacyKey, slice(sList, 0, 12), {}, true, at(100));
        x.observe(legacyKey, slice(sList, 0, 12), {}, true, at(100));
        Messages reformatted = slice(sList, 4, 18);
        reformatted[3].text.replace(QLatin1Char(' '), QLatin1Char('\n'));
        y.observe(legacyKey, reformatted, {}, true, at(7300));
        y.observe(legacyKey, reformatted, {}, true, at(7300));
        try {
            f.restore(joinedFirstSegments(x.encoded(), y.encoded()));
        } catch (const ConversationMemoryFormatError&) {
        }
        f.observe(legacyKey, reformatted, {}, true, at(7310));
        const auto reconnected = f.observe(legacyKey, reformatted, {}, true, at(7310));
        check(reconnected.connectedCount == int(sList.size()) && reconnected.windows == 1 &&
                  reconnected.messages == sList,
              "long-separated captures reconnect through ordered overlap despite formatting changes");
    }
    ConversationMemory revisedAnswers;
    {
        revisedAnswers.observe(legacyKey, slice(u, 0, 13), {}, true, at(100));
        revisedAnswers.observe(legacyKey, slice(u, 0, 13), {}, true, at(100));
        Messages later = slice(u, 4, 16);
        later[1] = assistant("Distinct complete answer number 2 for this task, revised while streaming");
        later[7] = assistant("Distinct complete answer number 5 for this task, revised while streaming");
        const auto joined = revisedAnswers.observe(legacyKey, later, {}, true, at(7300));
        check(joined.connectedCount == 16 && joined.windows == 1 && joined.messages == u,
              "seven distinct ordered anchors reconnect windows when two assistant turns changed during "
              "streaming");
    }
    ConversationMemory longAnswers;
    {
        longAnswers.observe(legacyKey, slice(v, 0, 13), {}, true, at(100));
        longAnswers.observe(legacyKey, slice(v, 0, 13), {}, true, at(100));
        Messages later = slice(v, 4, 16);
        for (Message& message : later)
            if (message.role == QLatin1StringView("assistant"))
                message.text += " Done.";
        const auto joined = longAnswers.observe(legacyKey, later, {}, true, at(7300));
        check(joined.connectedCount == 16 && joined.windows == 1,
              "long AI answers with small streaming revisions can anchor otherwise exact user history");
    }
    revisedAnswers.observe(legacyKey, o, {}, true, at(7400));
    const auto reused = revisedAnswers.observe(legacyKey, o, {}, true, at(7400));
    check(reused.messages == o && reused.windows == 2,
          "a reused title without seven ordered anchors remains isolated after streaming repair");
    const Messages company = {user("Build an unrelated company site"), assistant("I can create that site")};
    longAnswers.observe(legacyKey, company, {}, true, at(7320));
    const auto isolated = longAnswers.observe(legacyKey, company, {}, true, at(7320));
    check(isolated.messages == company && isolated.windows == 2,
          "a reused title without ordered overlap cannot mix two conversations");
    const auto evolving = f.observe(legacyKey, slice(sList, 6, 18), {}, true, now());
    check(evolving.connectedCount == 18 && evolving.windows == 1 && userCount(evolving.messages) == 9,
          "new messages join the evolving transcript without losing earlier user requests");

    // Titles and window counts.
    const QString differentKey = "openai|desktop|title:Different chat";
    currentWork.adoptMatchingEntries(differentKey, {"openai|desktop|title:"}, slice(sList, 6, 18), {}, false);
    check(currentWork.records(currentKey).size() == 1 && currentWork.records(differentKey).empty(),
          "a changing sidebar title cannot transfer another conversation's memory");
    const auto different = observe(currentWork, differentKey, slice(sList, 6, 18));
    check(different.connectedCount == 12 && different.conversationScopeID != currentScope,
          "separate titled conversations keep separate history and request scopes");
    for (int i = 0; i <= 11; ++i)
        memory3.observe("rolling", {user("Disconnected item " + number(i))}, {}, true, now());
    check(memory3.records("rolling").size() == 13,
          "retained sections are not discarded at the old eight-window limit");
    for (int i = 12; i <= 69; ++i)
        memory3.observe("rolling", {user("Disconnected item " + number(i))}, {}, true, now());
    check(memory3.records("rolling").size() == 71,
          "all observed windows remain available for later bridging beyond the old sixty-four-window limit");
}

void navigationScope(const checks::Reporter& check) {
    const std::vector<Node> nodes = {
        Node("AXWindow", {}, std::nullopt, {}, false, false, {1, 4}),
        Node("AXNavigation", {}, std::nullopt, {}, false, false, {2}),
        Node("AXGroup", {}, std::nullopt, {}, false, false, {3}),
        Node("AXButton", {"Selected conversation"}),
        Node("AXGroup", {}, std::nullopt, {}, false, false, {5}),
        Node("AXButton", {"Message action"}),
    };
    check(NavigationScope::indices(nodes) == std::set<int>{1, 2, 3},
          "navigation identity uses child ancestry and excludes message actions");
    check(NavigationScope::isCurrent(u"page") && NavigationScope::isCurrent(u"1") &&
              !NavigationScope::isCurrent(u"0"),
          "navigation selection accepts textual and numeric accessibility states");
    check(NavigationScope::selectedLeaves(nodes, {1, 3}) == std::set<int>{3},
          "selected navigation wrapper and child resolve to a single active item");
    check(NavigationScope::selectedLeaves(nodes, {3, 5}) == std::set<int>{3, 5},
          "unrelated selected items remain ambiguous instead of merging conversations");
    check(NavigationScope::isActiveSidebarRow({"sidebar-item", "bg-primary-ghost-hover"}),
          "active sidebar class identifies the conversation row");
    check(!NavigationScope::isActiveSidebarRow(
              {"sidebar-item", "hover:bg-primary-ghost-hover",
               "data-[app-action-sidebar-thread-selected=true]:bg-primary-ghost-hover"}),
          "inactive sidebar hover rules never count as selected");
    check(!NavigationScope::isActiveSidebarRow({"bg-primary-ghost-hover"}),
          "selected content controls cannot impersonate sidebar rows");
}

void recentContextAndFollowUps(const checks::Reporter& check) {
    const Message rq = user("Please repair the application and verify the result");
    const std::vector<Message> g = progressMessages();

    std::vector<Message> progress = {rq};
    progress.insert(progress.end(), g.begin(), g.end());
    const auto kept = ConversationText::recentContext(progress, 8);
    check(kept.size() == 8 && kept.front() == rq && kept.back() == g.back(),
          "progress updates preserve latest user request and latest response");

    const std::vector<Message> ordinary = {rq, g[0], g[1]};
    check(ConversationText::recentContext(ordinary, 8) == ordinary,
          "ordinary recent context remains ordered and unchanged");

    check(ConversationText::recentContext(g, 8) == std::vector<Message>(g.begin() + 4, g.end()),
          "missing user context is not invented");
    check(ConversationText::recentContext({rq}, 0).empty(), "zero context limit is safe");

    std::vector<Message> followUp = progress;
    followUp.push_back(user("ok"));
    followUp.insert(followUp.end(), g.begin(), g.end());
    const auto payload = ConversationText::recentContext(followUp, 8);
    std::vector<Message> payloadUsers;
    std::copy_if(payload.begin(), payload.end(), std::back_inserter(payloadUsers),
                 [](const Message& m) { return m.role == QLatin1StringView("user"); });
    check(payload.size() == 8 && payloadUsers == std::vector<Message>{rq, user("ok")},
          "short follow-up retains the substantive sent request within the payload limit");
    check(!payload.empty() && payload.back() == followUp.back(),
          "preserving task context keeps the latest assistant response");
    check(ConversationText::recentContext({rq, user("ok")}, 1) == std::vector<Message>{user("ok")},
          "one-message budget still prioritizes the newest user message");
    check(ConversationText::dependsOnPriorContext(u"Great, but will they send it back to me?") &&
              ConversationText::dependsOnPriorContext(u"אוקיי, אבל הם ישלחו את זה בחזרה?") &&
              !ConversationText::dependsOnPriorContext(u"Build this dashboard and verify all interactions"),
          "context-dependent follow-ups are distinguished from standalone tasks");
}

void extractionAndMessagePositions(const checks::Reporter& check) {
    const auto e = SentMessageTree::extract(tree(window({group({
        heading("You said:"),
        Fixture{"AXGroup", {}, std::nullopt, true, false, false, {staticText("Repair this")}},
        labelled("AXButton", "Copy"),
        heading("ChatGPT said:"),
        group({staticText("First paragraph")}),
        staticText("Second paragraph"),
        labelled("AXButton", "Copy"),
        heading("You said:"),
        Fixture{"AXGroup", {}, std::nullopt, true, false, false, {staticText("Verify it")}},
        staticText("Thinking for 42 seconds"),
        message("assistant", "Working"),
        labelled("AXTextArea", "Draft must stay out"),
    })})));
    check(roles(e) == QStringList{"user", "assistant", "user", "assistant"},
          "live flattened history preserves speaker order without duplicates");
    check(texts(e) == QStringList{"Repair this", "First paragraph\nSecond paragraph", "Verify it", "Working"},
          "flat message boundaries retain paragraphs and exclude composer");

    check(ConversationText::headingRole({"ChatGPT said:"}) == QString("assistant"),
          "current ChatGPT speaker heading is recognized");
    const auto inlineReply = ConversationText::message({"ChatGPT said: Implemented the integration"});
    check(inlineReply && inlineReply->role == "assistant", "inline ChatGPT said reply is recognized");

    const auto f = SentMessageTree::extract(tree(window({
        group({message("user", "y"), message("assistant", "First implementation"), message("user", "y"),
               message("assistant", "Regression tests completed")}),
        labelled("AXTextArea", "PRIVATE UNSENT DRAFT"),
    })));
    check(roles(f) == QStringList{"user", "assistant", "user", "assistant"},
          "shared history ancestor cannot merge users and assistants");
    check(texts(f) == QStringList{"y", "First implementation", "y", "Regression tests completed"},
          "document order and repeated user messages survive extraction");
    check(std::none_of(f.begin(), f.end(), [](const auto& m) { return m.text.contains("UNSENT"); }),
          "draft composer never enters extracted messages");

    const auto menu = SentMessageTree::extract(tree(window({group({
        heading("ChatGPT said:"),
        staticText("A complete technical answer"),
        labelled("AXMenuButton", "Options", {staticText("Private menu content")}),
    })})));
    check(texts(menu) == QStringList{"A complete technical answer"},
          "action menu does not discard or contaminate the sent reply");

    const auto twoHeadings = SentMessageTree::extract(tree(window({group({
        heading("ChatGPT said:"),
        staticText("One"),
        heading("ChatGPT said:"),
        staticText("Two"),
    })})));
    check(texts(twoHeadings) == QStringList{"One", "Two"},
          "two same-role headings establish separate messages rather than merging");

    const auto editing = SentMessageTree::extract(tree(window({Fixture{
        "AXGroup",
        {},
        std::nullopt,
        true,
        false,
        false,
        {staticText("Old text"), labelled("AXTextArea", "Edited unsent text")},
    }})));
    check(editing.empty(), "in-place message edits are not sent-message candidates");

    const auto excluded = SentMessageTree::extract(tree(window({
        Fixture{"AXGroup", {}, std::nullopt, false, false, true, {message("user", "Source document")}},
        message("user", "Actual task"),
    })));
    check(texts(excluded) == QStringList{"Actual task"},
          "source panels and navigation are excluded from extraction");

    const auto copies = SentMessageTree::extract(tree(window({group({
        group({staticText("First reply"), labelled("AXButton", "Copy")}),
        group({staticText("Second reply"), labelled("AXButton", "Copy")}),
    })})));
    check(texts(copies) == QStringList{"First reply", "Second reply"},
          "copy fallback uses nearest child-tree boundary rather than shared outer history");

    const auto helpOnly = SentMessageTree::extract(tree(window({group({
        group({
            staticText("A completed user request"),
            Fixture{"AXButton", {}, QStringList{"Edit message"}, false, true},
            Fixture{"AXButton", {}, QStringList{"Copy message"}},
        }),
        group({
            staticText("A completed assistant response"),
            Fixture{"AXButton", {}, QStringList{"Copy message"}},
        }),
    })})));
    check(roles(helpOnly) == QStringList{"user", "assistant"} &&
              texts(helpOnly) == QStringList{"A completed user request", "A completed assistant response"},
          "AXHelp-only message actions recover native ChatGPT turns in order");

    const auto unbounded =
        SentMessageTree::extract(tree(window({staticText("Unbounded text"), labelled("AXButton", "Copy")})));
    check(unbounded.empty(), "unbounded window text is never treated as a sent reply");

    const auto codeBlock = SentMessageTree::extract(tree(window({group({
        heading("ChatGPT said:"),
        staticText("Explanation"),
        group({staticText("let result = 1"), labelled("AXButton", "Copy")}),
        labelled("AXButton", "Copy"),
    })})));
    check(texts(codeBlock) == QStringList{"Explanation\nlet result = 1"},
          "code-block copy controls do not duplicate assistant replies");

    const auto timestamp = SentMessageTree::extract(tree(window({group({
        heading("Claude said:"),
        group({staticText("I updated the filter code"),
               group({staticText("3 hours ago"), labelled("AXButton", "Copy")})}),
    })})));
    check(texts(timestamp) == QStringList{"I updated the filter code"},
          "assistant extraction skips timestamp-only wrappers and reaches the real response");

    const auto positioned = [](const QString& position, const QString& headingLabel) {
        return std::vector<Node>{
            Node("AXWindow", {}, std::nullopt, {}, false, false, {1}),
            Node("AXGroup", {}, std::nullopt, {position}, false, false, {2}),
            Node("AXHeading", {headingLabel}),
        };
    };
    check(SentMessageTree::messagePosition(2, positioned("Message 42", "ChatGPT said:")) == 42,
          "message position follows rendered child ancestry when AXParent differs");
    check(SentMessageTree::conversationOrdinal(u"Message 79 of 86") == SentMessageTree::Ordinal{79, 86} &&
              SentMessageTree::messagePosition(2, positioned("Message 79 of 86", "Claude responded:")) == 79,
          "Claude Chat's explicit conversation ordinal and total are readable");
    check(!SentMessageTree::conversationOrdinal(u"Message 7") &&
              !SentMessageTree::conversationOrdinal(u"Message 87 of 86") &&
              !SentMessageTree::conversationOrdinal(u"Message 7 of 86 extras"),
          "viewport numbers and malformed or impossible chat ordinals are not durable identities");
    const std::vector<Node> relative = {
        Node("AXGroup", {"3 hours ago"}, std::nullopt, {}, false, false, {1}),
        Node("AXHeading", {"ChatGPT said:"}),
    };
    check(!SentMessageTree::messagePosition(1, relative),
          "relative timestamp labels never masquerade as stable message positions");

    const auto inlineHeading = SentMessageTree::extract(tree(window({
        message("user", "Add a copy link button"),
        group({heading("Claude responded: Now I will update the filter code."),
               labelled("AXButton", "Ran a command")}),
    })));
    check(roles(inlineHeading) == QStringList{"user", "assistant"} &&
              inlineHeading.back().text == "Now I will update the filter code.",
          "Claude Code inline response headings are retained as real AI messages");
}

void run(const checks::Reporter& check) {
    boundedTreeWalk(check);
    eligibilityAndMetadata(check);
    recentUserRequests(check);
    extractionWithoutCap(check);
    conversationMemory(check);
    navigationScope(check);
    recentContextAndFollowUps(check);
    extractionAndMessagePositions(check);
}

} // namespace quillmere::SentMessageTreeChecks
