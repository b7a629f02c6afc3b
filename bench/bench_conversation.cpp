// Costs of reading a conversation on every tick: extracting the sent messages of a window tree,
// the bounded tree walk, and (further down) remembering the conversation across scans.
//
// Targets: extract and scan grow linearly with the tree (twice the tree, at most 2.2 times the
// cost), and extract over 5,000 elements costs at most ten bare pre-order visits of them.

#include "core/ConversationTreeWalk.h"
#include "core/SentMessageTree.h"

#include <benchmark/benchmark.h>

using namespace quillmere;
using SentMessageTree::Node;

namespace {

int add(std::vector<Node>& nodes, Node node) {
    nodes.push_back(std::move(node));
    return int(nodes.size()) - 1;
}

int addText(std::vector<Node>& nodes, const QString& text) {
    return add(nodes, Node("AXStaticText", {text}));
}

// A window with a conversation of `messages` turns laid out as the hosts render them (headings,
// bubbles, paragraphs, code blocks, action buttons), padded with unrelated controls to exactly
// `size` elements. Indices follow document order, as a real flattened tree.
std::vector<Node> conversationTree(int size, int messages) {
    std::vector<Node> nodes;
    nodes.reserve(std::size_t(size));
    add(nodes, Node("AXWindow"));
    add(nodes, Node("AXWebArea", {"claude.ai/chat/bench"}));
    nodes[0].children = {1};
    for (int m = 0; m < messages; ++m) {
        const bool user = m % 2 == 0;
        const int turn = add(nodes, Node("AXGroup", {}, std::nullopt, {"Message " + QString::number(m + 1)}));
        nodes[1].children.push_back(turn);
        const int heading = add(nodes, Node("AXHeading", {user ? "You said:" : "ChatGPT said:"}));
        nodes[std::size_t(heading)].children = {addText(nodes, user ? "You said:" : "ChatGPT said:")};
        nodes[std::size_t(turn)].children.push_back(heading);
        if (user) {
            const int bubble = add(nodes, Node("AXGroup", {}, std::nullopt, {}, true));
            nodes[std::size_t(bubble)].children = {
                addText(nodes, "Please look at request number " + QString::number(m))};
            nodes[std::size_t(turn)].children.push_back(bubble);
        } else {
            const int body = add(nodes, Node("AXGroup"));
            nodes[std::size_t(turn)].children.push_back(body);
            for (int p = 0; p < 5; ++p)
                nodes[std::size_t(body)].children.push_back(
                    addText(nodes, "Paragraph " + QString::number(p) + " of answer " + QString::number(m) +
                                       " explains one more detail of the change."));
            const int code = add(nodes, Node("AXGroup"));
            nodes[std::size_t(body)].children.push_back(code);
            nodes[std::size_t(code)].children = {addText(nodes, "let result = " + QString::number(m)),
                                                 add(nodes, Node("AXButton", {"Copy"}))};
            nodes[std::size_t(body)].children.push_back(addText(nodes, "3 hours ago"));
        }
        nodes[std::size_t(turn)].children.push_back(add(nodes, Node("AXButton", {"Copy"})));
    }
    while (int(nodes.size()) < size)
        nodes[1].children.push_back(add(nodes, Node("AXButton", {"Toolbar action"})));
    return nodes;
}

// The least any reader of the tree must do: visit each element once in pre-order.
int bareVisit(const std::vector<Node>& nodes) {
    std::vector<char> seen(nodes.size(), 0);
    std::vector<int> stack = {0};
    int visited = 0;
    while (!stack.empty()) {
        int i = stack.back();
        stack.pop_back();
        if (seen[std::size_t(i)])
            continue;
        seen[std::size_t(i)] = 1;
        visited += int(nodes[std::size_t(i)].role.size() > 0);
        const auto& children = nodes[std::size_t(i)].children;
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            if (*it >= 0 && std::size_t(*it) < nodes.size())
                stack.push_back(*it);
    }
    return visited;
}

// The same visit that also looks at what each element says (its role and its labels' first
// characters), which any reader of the conversation must do and a structure-only visit never does.
int readingVisit(const std::vector<Node>& nodes) {
    std::vector<char> seen(nodes.size(), 0);
    std::vector<int> stack = {0};
    int sum = 0;
    while (!stack.empty()) {
        int i = stack.back();
        stack.pop_back();
        if (seen[std::size_t(i)])
            continue;
        seen[std::size_t(i)] = 1;
        const Node& node = nodes[std::size_t(i)];
        sum += node.role.isEmpty() ? 0 : node.role.front().unicode();
        for (const QString& label : node.labels)
            sum += label.isEmpty() ? 0 : label.back().unicode();
        const auto& children = node.children;
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            if (*it >= 0 && std::size_t(*it) < nodes.size())
                stack.push_back(*it);
    }
    return sum;
}

// 5,000 elements hold 400 messages; larger trees keep the same density.
std::vector<Node> scaledTree(int size) {
    return conversationTree(size, size * 400 / 5000);
}

void BM_Extract(benchmark::State& state) {
    const auto nodes = scaledTree(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(SentMessageTree::extract(nodes));
    state.counters["messages"] = double(SentMessageTree::extract(nodes).size());
}
BENCHMARK(BM_Extract)->Arg(2500)->Arg(5000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_BarePreOrderVisit(benchmark::State& state) {
    const auto nodes = scaledTree(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(bareVisit(nodes));
}
BENCHMARK(BM_BarePreOrderVisit)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_ReadingPreOrderVisit(benchmark::State& state) {
    const auto nodes = scaledTree(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(readingVisit(nodes));
}
BENCHMARK(BM_ReadingPreOrderVisit)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_Scan(benchmark::State& state) {
    const auto nodes = scaledTree(int(state.range(0)));
    const int limit = int(state.range(1));
    for (auto _ : state) {
        auto result = ConversationTreeWalk::scan(
            0, limit, [&](int i) { return nodes[std::size_t(i)].role == QLatin1StringView("AXWebArea"); },
            [&](int i) { return nodes[std::size_t(i)].children; },
            [&](int i) {
                const Node& node = nodes[std::size_t(i)];
                return ConversationTreeWalk::isClaudeEmbeddedWebArea(
                    node.role,
                    node.labels.isEmpty() ? std::nullopt : std::optional<QStringView>(node.labels[0]));
            });
        benchmark::DoNotOptimize(result);
    }
}
// The tick's cap of 5,000 over a 20,000-element window; uncapped walks show the growth per element.
BENCHMARK(BM_Scan)
    ->Args({20000, 5000})
    ->Args({5000, 1000000})
    ->Args({10000, 1000000})
    ->Args({20000, 1000000})
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
