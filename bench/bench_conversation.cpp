// Costs of reading a conversation on every tick: extracting the sent messages of a window tree,
// the bounded tree walk, and (further down) remembering the conversation across scans.
//
// Targets: extract and scan grow linearly with the tree (twice the tree, at most 2.2 times the
// cost), and extract over 5,000 elements costs at most ten bare pre-order visits of them.
// observe grows linearly with the conversation (8,000 messages at most 20 times 500), and
// observing an unchanged conversation of 2,000 messages costs at most five normalising passes
// over its texts.

#include "core/ConversationMemory.h"
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

// A hostile window: every element lists itself and the root `repeats` times besides its one real
// child, a chain `length` deep. Each element is visited and expanded once, so the cost grows with
// what the host listed, not with the cap times the repeats.
void BM_ScanRepeatedChildren(benchmark::State& state) {
    const int length = 2000, repeats = int(state.range(0));
    std::vector<std::vector<int>> children(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) {
        for (int r = 0; r < repeats; ++r)
            children[std::size_t(i)].insert(children[std::size_t(i)].end(), {i, 0});
        if (i + 1 < length)
            children[std::size_t(i)].push_back(i + 1);
    }
    for (auto _ : state) {
        auto result = ConversationTreeWalk::scan(
            0, 5000, [](int) { return false; }, [&](int i) { return children[std::size_t(i)]; });
        benchmark::DoNotOptimize(result);
    }
    state.counters["listed"] = double(length) * (2 * repeats + 1);
}
BENCHMARK(BM_ScanRepeatedChildren)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

// A conversation as the hosts show it: short requests, longer multi-paragraph answers.
std::vector<ConversationText::Message> conversation(int count) {
    std::vector<ConversationText::Message> out;
    out.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            out.push_back({"user", "Please change part " + QString::number(i) +
                                       " of the report so that it reads well"});
        } else {
            QString answer;
            for (int p = 0; p < 4; ++p)
                answer += "Paragraph " + QString::number(p) + " of answer " + QString::number(i) +
                          " explains the change in detail,\n  with   spacing as rendered.\n\n";
            out.push_back({"assistant", answer});
        }
    }
    return out;
}

QDateTime benchTime() {
    return QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC);
}

void BM_NormalizePass(benchmark::State& state) {
    const auto messages = conversation(int(state.range(0)));
    for (auto _ : state)
        for (const auto& m : messages)
            benchmark::DoNotOptimize(ConversationText::normalize(m.text));
}
BENCHMARK(BM_NormalizePass)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kMicrosecond);

// The tick's usual case: the open conversation has not changed since the last scan.
void BM_ObserveUnchanged(benchmark::State& state) {
    const auto messages = conversation(int(state.range(0)));
    ConversationMemory memory;
    memory.observe(QString("bench"), messages, {}, true, benchTime());
    memory.observe(QString("bench"), messages, {}, true, benchTime());
    for (auto _ : state)
        benchmark::DoNotOptimize(memory.observe(QString("bench"), messages, {}, true, benchTime()));
}
BENCHMARK(BM_ObserveUnchanged)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kMicrosecond);

// A conversation in progress: every scan shows one new message at the bottom and one fewer at
// the top, so the memory grows by one message per observe.
void BM_ObserveOneNewMessage(benchmark::State& state) {
    const int visible = int(state.range(0));
    const auto all = conversation(visible + 20000);
    ConversationMemory memory;
    const std::vector<ConversationText::Message> first(all.begin(), all.begin() + visible);
    memory.observe(QString("bench"), first, {}, true, benchTime());
    memory.observe(QString("bench"), first, {}, true, benchTime());
    int shift = 0;
    for (auto _ : state) {
        state.PauseTiming();
        shift = (shift + 1) % 20000;
        const std::vector<ConversationText::Message> shown(all.begin() + shift,
                                                           all.begin() + shift + visible);
        state.ResumeTiming();
        benchmark::DoNotOptimize(memory.observe(QString("bench"), shown, {}, true, benchTime()));
    }
}
BENCHMARK(BM_ObserveOneNewMessage)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kMicrosecond);

// A stored memory whose records each carry `identifiers` identifiers: a restore reads them in one
// pass and keeps the first few of each record.
void BM_RestoreManyIdentifiers(benchmark::State& state) {
    const int identifiers = int(state.range(0));
    QByteArray records;
    for (int record = 0; record < 20; ++record) {
        QByteArray ids;
        for (int i = 0; i < identifiers; ++i)
            ids += QByteArray(i ? "," : "") + "\"message:" + QByteArray::number(record + 1) + ":x" +
                   QByteArray::number(i) + "\"";
        records += QByteArray(record ? "," : "") + R"({"message":{"role":"user","text":"Request )" +
                   QByteArray::number(record) + R"("},"firstObservedAt":0,"identifiers":[)" + ids + "]}";
    }
    const QByteArray data = R"([{"key":"k","segments":[[)" + records + "]]}]";
    for (auto _ : state) {
        ConversationMemory memory;
        memory.restore(data);
        benchmark::DoNotOptimize(memory);
    }
    state.counters["bytes"] = double(data.size());
}
BENCHMARK(BM_RestoreManyIdentifiers)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);

// One conversation of many separate windows of one short message each, none joining another,
// restored as an older version wrote it (range 1 = 0: segments alone) and as this memory writes
// it (range 1 = 1: what encoded() gives).
// Target: neither is slower than restoring the older form was before this memory named its
// windows.
void BM_RestoreSeparateWindows(benchmark::State& state) {
    const int windows = int(state.range(0));
    QByteArray data = R"([{"conversationScopeID":"s","key":"k","segments":[)";
    for (int i = 0; i < windows; ++i)
        data += QByteArray(i ? "," : "") + R"([{"firstObservedAt":1,"identifiers":[],"message":{"role":")" +
                (i % 2 ? "assistant" : "user") + R"(","text":"Window )" + QByteArray::number(i) + "\"}}]";
    data += "]}]";
    if (state.range(1) != 0) {
        ConversationMemory written;
        written.restore(data);
        data = written.encoded();
    }
    for (auto _ : state) {
        ConversationMemory memory;
        memory.restore(data);
        benchmark::DoNotOptimize(memory);
    }
    state.counters["bytes"] = double(data.size());
}
BENCHMARK(BM_RestoreSeparateWindows)
    ->Args({40000, 0})
    ->Args({40000, 1})
    ->ArgNames({"windows", "written"})
    ->Unit(benchmark::kMillisecond);

// A whole numbered history read again once its newest answer, stored while it was still being
// written, is complete: the read that completes it. Either every text is its own (`distinct`,
// range 0) or the history says the same few things over and over (range 1), as an agent's
// routine does; its numbers then tell where the read lies.
// Target: the history of a few repeated texts costs at most 3 times the distinct one.
void BM_ObserveCompletingRead(benchmark::State& state) {
    const int count = int(state.range(0));
    const bool repeated = state.range(1) != 0;
    std::vector<ConversationText::Message> whole;
    std::vector<std::optional<QString>> ids;
    whole.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const int n = repeated ? i / 2 % 2 : i;
        const bool asks = i % 2 == 0;
        whole.push_back(asks ? ConversationText::Message{"user", "Request " + QString::number(n) +
                                                                     ": carry on with the module"}
                             : ConversationText::Message{
                                   "assistant", "Answer " + QString::number(n) +
                                                    ": updated the build, ran the tests, fixed them."});
        ids.push_back("message:" + QString::number(i + 1) + (asks ? ":user" : ":assistant"));
    }
    if (whole.back().role != "assistant")
        whole.pop_back(), ids.pop_back();
    std::vector<ConversationText::Message> cut = whole;
    cut.back().text.truncate(cut.back().text.size() / 2);
    ConversationMemory stored;
    stored.observe(QString("bench"), cut, ids, true, benchTime());
    stored.observe(QString("bench"), cut, ids, true, benchTime());
    const MessageList read(whole);
    for (auto _ : state) {
        state.PauseTiming();
        ConversationMemory memory = stored;
        state.ResumeTiming();
        const auto result = memory.observe(QString("bench"), read, ids, true, benchTime());
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        if (result.windows != 1 || result.connectedCount != int(whole.size()))
            state.SkipWithError("the completing read did not continue the stored history");
        memory = ConversationMemory();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ObserveCompletingRead)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->ArgNames({"messages", "repeated"})
    ->Unit(benchmark::kMillisecond);

// An agent's long history of a few texts said in turn ("continue 0", "Done 0.", …), unnumbered,
// read whole and then again with one message more: every shift of its cycle shares as many texts,
// and the read must still lie where it covers the stored messages.
// Target: the read recalls exactly the history, the memory's whole bound of it included.
void BM_ObserveFewTextsReadAgain(benchmark::State& state) {
    const int count = int(state.range(0));
    std::vector<ConversationText::Message> history;
    history.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i)
        history.push_back(
            i % 2 == 0 ? ConversationText::Message{"user", "continue " + QString::number(i / 2 % 3)}
                       : ConversationText::Message{"assistant", "Done " + QString::number(i / 2 % 2) + "."});
    const std::vector<ConversationText::Message> before(history.begin(), history.end() - 1);
    ConversationMemory stored;
    stored.observe(QString("bench"), before, {}, true, benchTime());
    stored.observe(QString("bench"), before, {}, true, benchTime());
    const MessageList read(history);
    for (auto _ : state) {
        state.PauseTiming();
        ConversationMemory memory = stored;
        state.ResumeTiming();
        const auto result = memory.observe(QString("bench"), read, {}, true, benchTime());
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        state.counters["recalled"] = result.connectedCount;
        if (result.connectedCount != count) {
            state.SkipWithError("the read was recalled longer or shorter than the history");
            break;
        }
        memory = ConversationMemory();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ObserveFewTextsReadAgain)->Arg(10001)->Arg(200001)->Unit(benchmark::kMillisecond);

// Times one observe of `read` by a memory `prepare` gives afresh each time, outside the timing, and
// stops the run with `error` unless the read recalls `recalled` messages in one window.
template <typename Prepare>
void timeObserve(benchmark::State& state, const Prepare& prepare, const MessageList& read,
                 const QDateTime& at, int recalled, const char* error) {
    for (auto _ : state) {
        state.PauseTiming();
        ConversationMemory memory = prepare();
        state.ResumeTiming();
        const auto result = memory.observe(QString("bench"), read, {}, true, at);
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        if (result.windows != 1 || result.connectedCount != recalled) {
            state.SkipWithError(error);
            break;
        }
        memory = ConversationMemory();
        state.ResumeTiming();
    }
}

// The bottom of an agent's long history of two requests said in turn, each answered the same way,
// ending with two messages of its own: its last 30 messages read once the whole history is stored.
// Past 199,000 messages the frequent texts spend the vote budget before the bottom of the history,
// and the read still lies there.
// Target: the read joins at either length, the history past the budget costing at most 1.2 times
// the one short of it.
void BM_ObserveBottomOfFewTexts(benchmark::State& state) {
    const int count = int(state.range(0));
    std::vector<ConversationText::Message> history;
    history.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i)
        history.push_back(
            i >= count - 2 ? ConversationText::Message{i % 2 == 0 ? "user" : "assistant",
                                                       "A message of its own, " + QString::number(i)}
            : i % 2 == 0 ? ConversationText::Message{"user", "continue " + QString::number(i / 2 % 2)}
                         : ConversationText::Message{"assistant", "Done 0."});
    ConversationMemory stored;
    stored.observe(QString("bench"), history, {}, true, benchTime());
    stored.observe(QString("bench"), history, {}, true, benchTime());
    const MessageList read(std::vector<ConversationText::Message>(history.end() - 30, history.end()));
    timeObserve(
        state, [&stored] { return stored; }, read, benchTime().addSecs(60), count,
        "the bottom read did not join the stored history");
}
BENCHMARK(BM_ObserveBottomOfFewTexts)->Arg(195001)->Arg(199997)->Unit(benchmark::kMillisecond);

// A long agent session's history, unnumbered, of texts of 300 to 400 characters: every text its
// own (`repeatEvery` 0), or every `repeatEvery`-th one of a few routine texts said again and again.
std::vector<ConversationText::Message> longHistory(int count, int repeatEvery) {
    const QString filler =
        " The change touches the parser, the writer and their tests; each was run again and "
        "the results compared with the last run, line by line, before going on.";
    std::vector<ConversationText::Message> out;
    out.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const bool asks = i % 2 == 0;
        const bool routine = repeatEvery > 0 && i % repeatEvery == repeatEvery - 1;
        QString text = routine ? (asks ? "Routine request " : "Routine answer ") +
                                     QString::number(i / repeatEvery % 3) + ":"
                               : "Message " + QString::number(i) + ":";
        const int length = 300 + (routine ? i / repeatEvery % 3 * 50 : i * 7919 % 101);
        while (text.size() < length)
            text += filler;
        text.truncate(length);
        out.push_back({asks ? "user" : "assistant", text});
    }
    return out;
}

// A whole history longer than the memory's record bound read again with one message more, as an
// agent's session is on each change: the history stored first by two reads of it, the memory then
// copied from the stored one for each read. Range 0: messages; range 1: every how many a routine
// text (0: none).
// Target: the read recalls the whole history and its new message.
void BM_ObserveWholeReadPastBound(benchmark::State& state) {
    const int count = int(state.range(0));
    std::vector<ConversationText::Message> history = longHistory(count + 1, int(state.range(1)));
    const MessageList read(history);
    history.pop_back();
    ConversationMemory stored;
    stored.observe(QString("bench"), history, {}, true, benchTime());
    stored.observe(QString("bench"), history, {}, true, benchTime());
    timeObserve(
        state, [&stored] { return stored; }, read, benchTime().addSecs(60), count + 1,
        "the read did not recall the whole history and its new message");
}
BENCHMARK(BM_ObserveWholeReadPastBound)
    ->Args({220000, 0})
    ->Args({264000, 0})
    ->Args({220000, 10})
    ->Args({264000, 10})
    ->Args({220000, 3})
    ->Args({264000, 3})
    ->ArgNames({"messages", "repeatEvery"})
    ->Unit(benchmark::kMillisecond);

// The first store of a history longer than the record bound: the second of two reads of a new
// conversation showing the same messages (each its own list, as two scans give), which stores it.
void BM_ObserveFirstStorePastBound(benchmark::State& state) {
    const int count = int(state.range(0));
    const std::vector<ConversationText::Message> history = longHistory(count, int(state.range(1)));
    const MessageList first(history), second(history);
    const auto readOnce = [&first] {
        ConversationMemory memory;
        memory.observe(QString("bench"), first, {}, true, benchTime());
        return memory;
    };
    timeObserve(state, readOnce, second, benchTime(), count, "the store did not recall the whole history");
}
BENCHMARK(BM_ObserveFirstStorePastBound)
    ->Args({264000, 0})
    ->Args({264000, 3})
    ->ArgNames({"messages", "repeatEvery"})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
