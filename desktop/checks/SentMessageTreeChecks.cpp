#include "desktop/checks/SentMessageTreeChecks.h"

#include "core/ConversationText.h"
#include "core/ConversationTreeWalk.h"
#include "core/HostConstants.h"
#include "core/NavigationScope.h"
#include "core/SentMessageTree.h"

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

void conversationMemory(const checks::Reporter&) {}

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
