#pragma once

// One recommendation the web connector received from the widget inbox and hands to a card. The
// card shows the model family, the reasoning effort and the rationale only.

#include <QString>
#include <optional>

namespace quillmere {

struct ConnectorGuidance {
    QString id;
    QString provider;
    QString policy_source;
    QString model_family;
    QString reasoning;
    QString rationale;
    bool availability_verified = false;
    std::optional<QString> savings_claim;

    friend bool operator==(const ConnectorGuidance&, const ConnectorGuidance&) = default;
};

} // namespace quillmere
