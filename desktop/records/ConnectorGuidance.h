#pragma once

// One recommendation item of the web widget's inbox, as the connector hands it to the card. The
// member names are the item's JSON keys.

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

    bool operator==(const ConnectorGuidance&) const = default;
};

} // namespace quillmere
