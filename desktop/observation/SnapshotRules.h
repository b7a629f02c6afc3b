#pragma once

// The small list rules a conversation snapshot is assembled with: the order of the observed
// settings, how an element's label text is composed from its pieces, which button says the view
// is scrolled away from the latest message, where the conversation's document address is found,
// the session titles of rename buttons, and the message filters the snapshot counts with.
//
// They take values already read from the host, so they hold no accessibility machinery and can
// be checked on their own.

#include "core/OpenAIRouting.h"

#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>
#include <vector>

namespace quillmere::SnapshotRules {

// Ascending by model, then by effort (plain string order).
bool settingPrecedes(const ObservedSetting& a, const ObservedSetting& b);
// Sorts the settings by settingPrecedes, keeping the read order of equal ones.
void sortSettings(std::vector<ObservedSetting>& settings);

// The non-empty ones of an element's title, description and value, in that order. Unlike the
// element label, a piece equal to an earlier one is kept.
QStringList labelPieces(const std::optional<QString>& title, const std::optional<QString>& description,
                        const std::optional<QString>& value);
// The pieces joined with one blank.
QString labelText(const QStringList& pieces);

// Split at white space, empty pieces dropped, joined with one blank, lowercased.
QString normalizedLowercasedLabel(QStringView text);

// A button with a label piece that reads "scroll to bottom": the view is not at the latest
// message.
bool isScrollToBottomButton(QStringView role, const QStringList& pieces);

// A web area's address: its URL, else its document; none when it has neither.
std::optional<QString> webAreaAddress(const std::optional<QString>& url,
                                      const std::optional<QString>& document);

// The first candidate (the focused window's document, then the web areas' addresses in order)
// that is a conversation URL, in its canonical form.
std::optional<QString> conversationDocument(const std::optional<QString>& windowDocument,
                                            const QStringList& webAreaAddresses);

// The session title a rename button names ("Trip plans, rename session" gives "Trip plans");
// none for any other element, and none when nothing precedes the ending.
std::optional<QString> renameSessionTitle(QStringView role, const QString& label);

// Messages a snapshot counts: user or assistant messages with visible text.
template <typename Message> bool isKeptMessage(const Message& message);
template <typename Message> std::vector<Message> keptMessages(const std::vector<Message>& messages);
template <typename Message> std::vector<Message> userMessages(const std::vector<Message>& messages);
template <typename Message> std::vector<Message> assistantMessages(const std::vector<Message>& messages);

// ---------------------------------------------------------------------------------------------

bool hasVisibleText(QStringView text);

template <typename Message> bool isKeptMessage(const Message& message) {
    return (message.role == QLatin1String("user") || message.role == QLatin1String("assistant")) &&
           hasVisibleText(message.text);
}

template <typename Message> std::vector<Message> keptMessages(const std::vector<Message>& messages) {
    std::vector<Message> kept;
    for (const Message& m : messages)
        if (isKeptMessage(m))
            kept.push_back(m);
    return kept;
}

template <typename Message> std::vector<Message> userMessages(const std::vector<Message>& messages) {
    std::vector<Message> users;
    for (const Message& m : messages)
        if (m.role == QLatin1String("user"))
            users.push_back(m);
    return users;
}

template <typename Message> std::vector<Message> assistantMessages(const std::vector<Message>& messages) {
    std::vector<Message> assistants;
    for (const Message& m : messages)
        if (m.role == QLatin1String("assistant"))
            assistants.push_back(m);
    return assistants;
}

} // namespace quillmere::SnapshotRules
