#pragma once

// A task category or subcategory named by the classification service.

#include <QString>

namespace quillmere {

struct ConversationTaxonomy {
    QString id;
    QString label;

    friend bool operator==(const ConversationTaxonomy&, const ConversationTaxonomy&) = default;
};

} // namespace quillmere
