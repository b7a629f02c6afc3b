#pragma once

// A control that greys itself while its work runs (Ask, Connect, "Switch to …") would hand the
// keyboard on: Qt gives the focus of a disabled widget to the next control of its window, which may
// be one the person never chose (the card's "Close info" button, where the next Space collapses the
// card). A hold keeps the keyboard in the part of the card the person was in: while the work runs,
// the line that tells its progress has it; when the work ends it goes back to the control pressed
// if that is offered again, else to the nearest offered control of the part, and the line keeps it
// while none is. A person who moved the keyboard elsewhere meanwhile keeps it where they put it.
//
// However the work ends, the keyboard never goes where Qt would send it: a line hidden while it
// holds the keyboard (a new conversation empties it, the card is reset, collapsed or hidden, its
// host goes) hands it to the nearest offered control of the part, or, when none is, to the view
// that holds the part, where a key press does nothing. While the line holds it, Tab and Shift+Tab
// go on from where the control it stands for sits (`standingFor`).

#include <QPointer>
#include <QWidget>
#include <initializer_list>
#include <memory>
#include <vector>

namespace quillmere {

class KeyboardHold {
public:
    KeyboardHold();
    ~KeyboardHold();
    KeyboardHold(const KeyboardHold&) = delete;
    KeyboardHold& operator=(const KeyboardHold&) = delete;

    // Called before the controls of `greyed` are disabled, with `progress` already showing what the
    // work does. When one of them has the keyboard of its window, `progress` takes it and the hold
    // begins; returns whether the line is then read as focused (`readAsFocused`): what it shows now
    // is read as it takes the keyboard, and need not be announced.
    // `part` lists the controls of that part of the card in keyboard order, the greyed ones among
    // them. Asked while none of `greyed` has the keyboard, a hold in progress stays as it is.
    bool hold(std::initializer_list<QWidget*> greyed, QWidget* progress, std::vector<QWidget*> part);
    // Called once the controls are enabled or disabled as they stay after the work, before the
    // progress line shows its outcome. Ends the hold unless no control of the part is offered.
    void release();
    // Whether the progress line still has the keyboard of its window for the hold.
    bool keepsKeyboard() const;
    // Whether the progress line is read as the focused element: it keeps the keyboard and its window
    // is the active one. A screen reader follows the active window only; in a window the person has
    // left (to type in the host, say) nothing there is focused for it. Only the text the line shows
    // as it takes the keyboard is read that way: a screen reader does not read a focused label's new
    // text (Orca drops name changes of labels), so a text the line shows later is announced.
    bool readAsFocused() const;

    // The control that `line` stands for while it holds the keyboard of a hold, none otherwise: the
    // keyboard loop goes on from that control's place.
    static QWidget* standingFor(const QWidget* line);

private:
    class Watch;
    void clear();
    // Gives the keyboard to the control pressed or the nearest offered one of the part; with none,
    // the line keeps it when `lineMayKeep`, else the view holding the part takes it.
    void handOn(bool lineMayKeep);

    QPointer<QWidget> pressed_;
    QPointer<QWidget> progress_;
    std::vector<QPointer<QWidget>> part_;
    std::unique_ptr<Watch> watch_;
};

} // namespace quillmere
