#include "desktop/card/KeyboardHold.h"

#include <algorithm>
#include <cstdlib>

namespace quillmere {

namespace {

// The focused control of `view`'s window, which keeps it while another window is active.
bool hasWindowFocus(const QWidget* view) {
    return view && view->window()->focusWidget() == view;
}

bool offered(const QWidget* control) {
    return control && control->isEnabled() && control->isVisibleTo(control->window());
}

} // namespace

bool KeyboardHold::hold(std::initializer_list<QWidget*> greyed, QWidget* progress,
                        std::vector<QWidget*> part) {
    const auto focused = std::find_if(greyed.begin(), greyed.end(), hasWindowFocus);
    if (focused == greyed.end() || !progress) {
        // A hold of earlier work the person has left is not theirs any more.
        if (!keepsKeyboard())
            *this = KeyboardHold();
        return false;
    }
    pressed_ = *focused;
    progress_ = progress;
    part_.assign(part.begin(), part.end());
    progress->setFocus(Qt::OtherFocusReason);
    return hasWindowFocus(progress);
}

void KeyboardHold::release() {
    if (!keepsKeyboard()) {
        *this = KeyboardHold();
        return;
    }
    QWidget* target = offered(pressed_) ? pressed_.data() : nullptr;
    if (!target) {
        const auto at = std::find(part_.begin(), part_.end(), pressed_);
        const long from = at == part_.end() ? 0 : long(at - part_.begin());
        long distance = -1;
        // Nearest first; between two as near, the one before it.
        for (long i = 0; i < long(part_.size()); ++i) {
            if (!offered(part_[size_t(i)]) || (distance >= 0 && std::labs(i - from) >= distance))
                continue;
            distance = std::labs(i - from);
            target = part_[size_t(i)];
        }
    }
    if (!target)
        return; // the progress line keeps it until a control of the part is offered
    target->setFocus(Qt::OtherFocusReason);
    *this = KeyboardHold();
}

bool KeyboardHold::keepsKeyboard() const {
    return hasWindowFocus(progress_);
}

} // namespace quillmere
