#pragma once

// How often the card panel was brought to the front while it was hidden: one count per
// appearance, never one per tick.

namespace quillmere {

struct PanelPresentationMetrics {
    int windowShowCount = 0;

    // Whether a panel that `isVisible` needs ordering front; counts the appearance when it does.
    bool shouldOrderFront(bool isVisible) {
        if (!isVisible)
            ++windowShowCount;
        return !isVisible;
    }

    friend bool operator==(const PanelPresentationMetrics&, const PanelPresentationMetrics&) = default;
};

} // namespace quillmere
