// The memory's records as it holds them: texts and their comparison keys, the hosts' durable
// message numbers, a scan's messages made into items, lists of them compared with what a scan
// showed, keys worked out ahead of a read, and a window's items shared between copies.

#include "core/ConversationMemoryItems.h"

#include "core/ConversationText.h"
#include "core/Json.h"
#include "core/Text.h"

#include <QHash>
#include <QUuid>
#include <algorithm>
#include <atomic>
#include <limits>
#include <map>

namespace quillmere {

namespace {

using namespace MemoryItems;

// What "the same text" means between scans: white space folded, canonically composed.
QString textKey(const QString& text) {
    if (ConversationText::isNormalAscii(text))
        return text;
    QString n = ConversationText::normalize(text);
    for (QChar c : std::as_const(n))
        if (c.unicode() >= 0x80)
            return n.normalized(QString::NormalizationForm_C);
    return n;
}

// One scanned message as a memory item: timestamps and blank messages are no content.
std::optional<Item> itemOf(const Message& message, const std::optional<QString>& identifier, double at) {
    if (ConversationText::isMessageMetadata(message.text))
        return std::nullopt;
    QStringList ids;
    if (identifier && !identifier->isEmpty())
        ids << *identifier;
    Item item = makeItem(message, std::move(ids), at);
    if (item.key.isEmpty())
        return std::nullopt;
    return item;
}

bool hasIdentifier(const std::optional<QString>& identifier) {
    return identifier && !identifier->isEmpty();
}

// The very same text: one string's characters shared by both. Such texts are equal without a
// look at them; a string's characters never change while another string shares them.
bool sameText(const QString& a, const QString& b) {
    return a.constData() == b.constData() && a.size() == b.size();
}

// The same message character for character; the very same text at once.
bool isThe(const Message& message, const Message& observed) {
    return (sameText(message.text, observed.text) || message.text == observed.text) &&
           message.role == observed.role;
}

} // namespace

namespace MemoryItems {

QString newScopeID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
}

// "message:<N>:<role>", the hosts' durable message numbers; N >= 1.
std::optional<Positioned> positioned(const QString& id) {
    if (!id.startsWith(QLatin1StringView("message:")))
        return std::nullopt;
    QStringView rest = QStringView(id).mid(8);
    const qsizetype colon = rest.indexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    QStringView digits = rest.first(colon), role = rest.sliced(colon + 1);
    if (role != QLatin1StringView("user") && role != QLatin1StringView("assistant"))
        return std::nullopt;
    if (!std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    auto value = text::parseInteger(digits);
    if (!value || *value < 1 || *value > std::numeric_limits<int>::max())
        return std::nullopt;
    return Positioned{int(*value), role};
}

int firstPosition(const QStringList& ids) {
    for (const QString& id : ids)
        if (auto p = positioned(id))
            return p->position;
    return 0;
}

Item makeItem(Message message, QStringList ids, double at) {
    Item item;
    // Most texts are their own key already: the key then shares the text's characters, so a long
    // conversation is held once rather than twice.
    QString key = textKey(message.text);
    item.key = sameText(key, message.text) || key == message.text ? message.text : std::move(key);
    item.hash = qHash(item.key);
    item.message = std::move(message);
    item.firstObserved = at;
    item.identifiers = std::move(ids);
    item.position = firstPosition(item.identifiers);
    return item;
}

std::vector<Message> messagesOf(std::span<const Item> items) {
    std::vector<Message> out;
    out.reserve(items.size());
    for (const Item& item : items)
        out.push_back(item.message);
    return out;
}

// Drops positioned identifiers that contradict their message's role, and every positioned
// identifier whose number occurs more than once in the window: a host that repeats a number has
// not numbered its messages.
void dropMismatchedRoles(Items& items) {
    for (Item& item : items) {
        const auto dropped = item.identifiers.removeIf([&](const QString& id) {
            auto p = positioned(id);
            return p && p->role != item.message.role;
        });
        item.position = firstPosition(item.identifiers);
        if (dropped > 0)
            item.bytes = 0;
    }
}

void cleanIdentifiers(Items& items) {
    // A history read from an archive has no identifiers at all.
    if (std::all_of(items.begin(), items.end(), [](const Item& item) { return item.identifiers.isEmpty(); }))
        return;
    dropMismatchedRoles(items);
    std::map<int, int> uses;
    for (Item& item : items) {
        for (const QString& id : std::as_const(item.identifiers))
            if (auto p = positioned(id))
                ++uses[p->position];
    }
    for (Item& item : items) {
        const auto dropped = item.identifiers.removeIf([&](const QString& id) {
            auto p = positioned(id);
            return p && uses[p->position] > 1;
        });
        item.position = firstPosition(item.identifiers);
        if (dropped > 0)
            item.bytes = 0;
    }
}

// Exactly the same messages: the same roles and texts, character for character.
bool sameMessages(const MessageList& a, const MessageList& b) {
    return a.isSameListAs(b) ||
           (a.size() == b.size() &&
            std::equal(a.begin(), a.end(), b.begin(), [](const Message& x, const Message& y) {
                return x.role == y.role && x.text == y.text;
            }));
}
// The messages as a list: `observed` itself when they are its messages in its order, character
// for character, as when memory adds nothing to a scan and keeps every message of it (a stored
// record keeps its own string of the same text), so that a long history read from an archive
// comes back as the list it came as, neither copied nor counted again.
MessageList listOf(std::vector<Message> messages, const MessageList& observed) {
    if (messages.size() == observed.size() &&
        std::equal(messages.begin(), messages.end(), observed.begin(), isThe))
        return observed;
    return MessageList(std::move(messages));
}
MessageList listOf(const Items& items, const MessageList& observed) {
    if (items.size() == observed.size() &&
        std::equal(items.begin(), items.end(), observed.begin(),
                   [](const Item& item, const Message& message) { return isThe(item.message, message); }))
        return observed;
    return MessageList(messagesOf(items));
}
// The messages of `cut` (records the bounds cut, whose messages are taken) and then of `kept`
// the same way, compared with `observed` where they lie rather than copied first.
MessageList listOf(std::span<Item> cut, std::span<const Item> kept, const MessageList& observed) {
    const auto same = [](const Item& item, const Message& message) { return isThe(item.message, message); };
    if (cut.size() + kept.size() == observed.size() &&
        std::equal(cut.begin(), cut.end(), observed.begin(), same) &&
        std::equal(kept.begin(), kept.end(), observed.begin() + cut.size(), same))
        return observed;
    std::vector<Message> messages;
    messages.reserve(cut.size() + kept.size());
    for (Item& item : cut)
        messages.push_back(std::move(item.message));
    for (const Item& item : kept)
        messages.push_back(item.message);
    return MessageList(std::move(messages));
}

// A scan's messages as memory items.
Items cleanWindow(std::span<const Message> messages, const std::vector<std::optional<QString>>& identifiers,
                  double at, const ConversationMemory::Prepared* prepared) {
    static const std::optional<QString> none;
    Items items;
    items.reserve(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const std::optional<QString>& identifier = i < identifiers.size() ? identifiers[i] : none;
        if (prepared && !hasIdentifier(identifier)) {
            if (const ConversationMemory::Prepared::Key* key = prepared->lookup(i, messages[i].text)) {
                if (key->content) {
                    Item& item = items.emplace_back();
                    item.message = messages[i];
                    item.key = key->key.isNull() ? messages[i].text : key->key;
                    item.hash = key->hash;
                    item.firstObserved = at;
                    item.bytes = saturated(recordBytes(item.message.role, key->textBytes, {}));
                }
                continue;
            }
        }
        if (std::optional<Item> item = itemOf(messages[i], identifier, at))
            items.push_back(std::move(*item));
    }
    cleanIdentifiers(items);
    return items;
}

bool sameWindow(const Items& a, const Items& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const Item& x, const Item& y) {
               return x.message.role == y.message.role && x.hash == y.hash && x.key == y.key &&
                      x.identifiers == y.identifiers;
           });
}

} // namespace MemoryItems

const QString* ConversationMemory::KnownKeys::find(std::size_t hash, const QString& key) const {
    auto it = std::lower_bound(keys.begin(), keys.end(), hash,
                               [](const auto& entry, std::size_t h) { return entry.first < h; });
    for (; it != keys.end() && it->first == hash; ++it)
        if (it->second == key)
            return &it->second;
    return nullptr;
}

ConversationMemory::Prepared::Key ConversationMemory::Prepared::of(const QString& text,
                                                                   const KnownKeys* known) {
    Key out;
    if (ConversationText::isMessageMetadata(text))
        return out;
    QString key = textKey(text);
    if (key.isEmpty())
        return out;
    out.hash = qHash(key);
    out.content = true;
    out.textBytes = saturated(json::quotedSize(text));
    if (const QString* same = known ? known->find(out.hash, key) : nullptr)
        out.key = *same;
    else if (!sameText(key, text) && key != text)
        out.key = std::move(key);
    return out;
}

const ConversationMemory::Prepared::Key* ConversationMemory::Prepared::lookup(std::size_t i,
                                                                              const QString& text) const {
    return i < texts.size() && sameText(texts[i], text) ? &keys[i] : nullptr;
}

std::vector<Item>& ConversationMemory::SharedItems::edit() {
    bytes_ = unknown;
    if (!items_)
        items_ = std::make_shared<Items>();
    else if (items_.use_count() > 1)
        items_ = std::make_shared<Items>(*items_);
    else
        // The last other holder let go: whatever it read of the items, it read before this.
        std::atomic_thread_fence(std::memory_order_acquire);
    return *items_;
}

std::vector<Item> ConversationMemory::SharedItems::take() {
    Items items;
    takeInto(items);
    return items;
}

void ConversationMemory::SharedItems::takeInto(std::vector<Item>& out) {
    bytes_ = unknown;
    if (items_ && items_.use_count() > 1) {
        out.insert(out.end(), items_->begin(), items_->end());
    } else if (items_) {
        std::atomic_thread_fence(std::memory_order_acquire);
        if (out.empty())
            out = std::move(*items_);
        else
            out.insert(out.end(), std::make_move_iterator(items_->begin()),
                       std::make_move_iterator(items_->end()));
    }
    items_.reset();
}

void ConversationMemory::SharedItems::measure() {
    if (bytes_ != unknown)
        return;
    std::size_t sum = 0;
    const Items& items = **this;
    std::size_t i = 0;
    for (; i < items.size() && items[i].bytes > 0; ++i)
        sum += items[i].bytes;
    if (i < items.size()) {
        // Only a window this memory changed since it was last copied holds unmeasured records.
        Items& own = edit();
        for (; i < own.size(); ++i) {
            measureNew(own[i]);
            sum += own[i].bytes;
        }
    }
    bytes_ = sum;
}

std::size_t ConversationMemory::SharedItems::bytes() const {
    if (bytes_ == unknown) {
        bytes_ = 0;
        for (const Item& item : **this) {
            Q_ASSERT(item.bytes > 0); // every stored record is measured as it is stored
            bytes_ += item.bytes;
        }
    }
    return bytes_;
}

const std::vector<Item>& ConversationMemory::SharedItems::empty() {
    static const Items none;
    return none;
}

std::shared_ptr<const ConversationMemory::Prepared>
ConversationMemory::prepare(std::span<const Message> messages, const Prepared* earlier) {
    std::shared_ptr<Prepared> prepared;
    prepareMore(prepared, messages, earlier, std::numeric_limits<std::size_t>::max());
    return prepared;
}

std::shared_ptr<const ConversationMemory::KnownKeys> ConversationMemory::knownKeys() const {
    auto known = std::make_shared<KnownKeys>();
    known->keys.reserve(recordCount());
    for (const auto& [key, entry] : entries_)
        for (const Window& window : entry.windows)
            for (const Item& item : *window.items)
                known->keys.emplace_back(item.hash, item.key);
    std::sort(known->keys.begin(), known->keys.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return known;
}

bool ConversationMemory::prepareMore(std::shared_ptr<Prepared>& prepared, std::span<const Message> messages,
                                     const Prepared* earlier, std::size_t bytes, const KnownKeys* known) {
    if (!prepared) {
        prepared = std::make_shared<Prepared>();
        prepared->texts.reserve(messages.size());
        prepared->keys.reserve(messages.size());
    }
    std::size_t spent = 0;
    for (std::size_t i = prepared->texts.size(); i < messages.size(); ++i) {
        if (spent >= bytes)
            return false;
        prepared->texts.push_back(messages[i].text);
        if (const Prepared::Key* lent = earlier ? earlier->lookup(i, messages[i].text) : nullptr) {
            prepared->keys.push_back(*lent);
        } else {
            prepared->keys.push_back(Prepared::of(messages[i].text, known));
            spent += 2 * std::size_t(messages[i].text.size());
        }
    }
    return true;
}

std::size_t ConversationMemory::unpreparedBytes(std::span<const Message> messages, const Prepared* prepared) {
    // A message's own cost beside its text: the item, its key's header and its hash.
    constexpr std::size_t perMessage = 64;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < messages.size(); ++i)
        if (!prepared || !prepared->lookup(i, messages[i].text))
            bytes += perMessage + 2 * std::size_t(messages[i].text.size());
    return bytes;
}

} // namespace quillmere
