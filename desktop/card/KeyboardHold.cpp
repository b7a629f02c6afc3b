#include "desktop/card/KeyboardHold.h"

#include <QEvent>
#include <QObject>
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

// Every hold that exists, for `standingFor`; main thread only, like the widgets they hold.
std::vector<const KeyboardHold*>& holds() {
    static std::vector<const KeyboardHold*> all;
    return all;
}

// Where the keyboard rests when no control of the part is offered and the line cannot keep it: the
// outermost view of the line's window (the card itself), which no key press acts on.
QWidget* restingPlace(QWidget* line) {
    QWidget* view = line;
    while (view->parentWidget() && !view->isWindow() && !view->parentWidget()->isWindow())
        view = view->parentWidget();
    return view == line ? line->window() : view;
}

} // namespace

// Hears the progress line being hidden (itself, an ancestor or its window) before Qt moves the
// keyboard on from it.
class KeyboardHold::Watch final : public QObject {
public:
    explicit Watch(KeyboardHold& hold) : hold_(hold) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Hide && hold_.keepsKeyboard())
            hold_.handOn(false);
        return false;
    }

private:
    KeyboardHold& hold_;
};

KeyboardHold::KeyboardHold() : watch_(std::make_unique<Watch>(*this)) {
    holds().push_back(this);
}

KeyboardHold::~KeyboardHold() {
    clear();
    holds().erase(std::remove(holds().begin(), holds().end(), this), holds().end());
}

void KeyboardHold::clear() {
    if (progress_)
        progress_->removeEventFilter(watch_.get());
    pressed_.clear();
    progress_.clear();
    part_.clear();
}

bool KeyboardHold::hold(std::initializer_list<QWidget*> greyed, QWidget* progress,
                        std::vector<QWidget*> part) {
    const auto focused = std::find_if(greyed.begin(), greyed.end(), hasWindowFocus);
    if (focused == greyed.end() || !progress) {
        // A hold of earlier work the person has left is not theirs any more.
        if (!keepsKeyboard())
            clear();
        return false;
    }
    clear();
    pressed_ = *focused;
    progress_ = progress;
    part_.assign(part.begin(), part.end());
    progress->installEventFilter(watch_.get());
    // Qt gives the focus to a line inside a hidden view as well; nobody would read it there.
    if (progress->isVisibleTo(progress->window()))
        progress->setFocus(Qt::OtherFocusReason);
    if (hasWindowFocus(progress))
        return readAsFocused();
    // A line that cannot take the keyboard (hidden, say on a card too short to show it) cannot be
    // read as focused: the keyboard rests where no key press acts, and the caller says the progress.
    QWidget* rest = restingPlace(progress);
    clear();
    rest->setFocus(Qt::OtherFocusReason);
    return false;
}

void KeyboardHold::release() {
    if (!keepsKeyboard()) {
        clear();
        return;
    }
    handOn(true);
}

void KeyboardHold::handOn(bool lineMayKeep) {
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
    if (!target && lineMayKeep)
        return; // the progress line keeps it until a control of the part is offered
    if (!target)
        target = restingPlace(progress_);
    clear();
    target->setFocus(Qt::OtherFocusReason);
}

bool KeyboardHold::keepsKeyboard() const {
    return hasWindowFocus(progress_);
}

bool KeyboardHold::readAsFocused() const {
    return keepsKeyboard() && progress_->window()->isActiveWindow();
}

QWidget* KeyboardHold::standingFor(const QWidget* line) {
    if (!line)
        return nullptr;
    for (const KeyboardHold* hold : holds())
        if (hold->progress_ == line && hold->keepsKeyboard())
            return hold->pressed_;
    return nullptr;
}

} // namespace quillmere
