#pragma once

// What a real screen reader says: Orca, started by tests/desktop/card/run-with-orca, writes each
// phrase it speaks to its debug file on a line with "SPEECH OUTPUT: '<phrase>'". The tests read
// that file as it grows while the event loop turns (Orca asks this process for names and roles over
// the accessibility bus while it decides what to say).

#include "tests/support/AccessibilityBus.h"

#include <QApplication>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

namespace quillmere::testing {

class OrcaSpeech {
public:
    // The debug file of the Orca listening on this test's display; empty outside run-with-orca.
    static QString debugFile() { return qEnvironmentVariable("QUILLMERE_ORCA_DEBUG_FILE"); }

    // `announce` has the application announce a sentence, as it announces its own.
    explicit OrcaSpeech(std::function<void(const QString&)> announce)
        : announce_(std::move(announce)), file_(debugFile()) {
        if (file_.open(QIODevice::ReadOnly))
            file_.seek(file_.size());
    }
    bool isOpen() const { return file_.isOpen(); }

    // Until the bridge has learnt that Orca asks for what the application announces, nothing of it
    // is said: announces until Orca says it. Whether it did.
    bool listening() {
        for (int i = 0; i < 20; ++i)
            if (settle(1500))
                return true;
        return false;
    }
    // Has the application announce a sentence of its own and waits until Orca has said it: Orca
    // speaks in the order it is told, so whatever the steps before caused has been said by then.
    // Whether Orca said it.
    bool settle(int milliseconds = 15000) {
        // What the steps left for a later turn of the event loop (an announcement made once a flow's
        // step is over) is told first.
        turnFor(100);
        const QString sentence = QStringLiteral("Step %1 over.").arg(++settled_);
        announce_(sentence);
        return waitFor(sentence, milliseconds);
    }
    // Starts a new step: what Orca said so far is no longer counted.
    void mark() {
        read();
        said_.clear();
    }
    // Gives `control` the keyboard in its window, made the active one, waits until Orca has said
    // what that caused and starts a new step. Whether all of it happened.
    bool readyOn(QWidget* control) {
        QWidget* window = control->window();
        window->activateWindow();
        if (!waitUntil([&] { return window->isActiveWindow(); }, 5000))
            return false;
        control->setFocus(Qt::OtherFocusReason);
        if (!waitUntil([&] { return QApplication::focusWidget() == control; }, 2000) || !settle())
            return false;
        mark();
        return QApplication::focusWidget() == control;
    }

    // How many phrases since the mark hold `text`.
    int count(const QString& text) {
        read();
        int found = 0;
        for (const QString& phrase : said_)
            found += phrase.contains(text) ? 1 : 0;
        return found;
    }
    // Turns the event loop until a phrase holding `text` has been said since the mark, or
    // `milliseconds` have passed; whether it was.
    bool waitFor(const QString& text, int milliseconds) {
        return waitUntil([&] { return count(text) > 0; }, milliseconds);
    }
    // Waits for `text` to be said, for as long as Orca takes to say a sentence (one not said by
    // then is never said), then until everything the step caused has been said: how many phrases
    // since the mark hold it; -1 when Orca fell silent.
    int heard(const QString& text) {
        waitFor(text, 8000);
        return settle() ? count(text) : -1;
    }
    // Every phrase said since the mark, for a failure's message.
    std::string said() {
        read();
        return said_.join(QStringLiteral(" | ")).toStdString();
    }
    // Writes what Orca said in the step `what` to the test's output, for a person reading the log.
    void tell(const std::string& what) { std::printf("[ orca said] %s: %s\n", what.c_str(), said().c_str()); }

private:
    void read() {
        if (!file_.isOpen())
            return;
        pending_ += file_.readAll();
        qsizetype end = 0;
        while ((end = pending_.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending_.left(end));
            pending_.remove(0, end + 1);
            static const QString marker = QStringLiteral("SPEECH OUTPUT: '");
            const qsizetype at = line.indexOf(marker);
            if (at < 0)
                continue;
            // The phrase runs to its closing quote, which Orca may follow with the voice it used
            // ("{'established': False}").
            const qsizetype from = at + marker.size();
            qsizetype voice = line.endsWith(u'}') ? line.lastIndexOf(QStringLiteral("'{")) : -1;
            if (voice < 0 && line.endsWith(u'}'))
                voice = line.lastIndexOf(QStringLiteral("' {")); // a key's echo
            const qsizetype to = voice >= 0 ? voice : line.lastIndexOf(u'\'');
            said_ << (to > from ? line.mid(from, to - from) : line.mid(from));
        }
    }

    std::function<void(const QString&)> announce_;
    QFile file_;
    QByteArray pending_;
    QStringList said_;
    int settled_ = 0;
};

} // namespace quillmere::testing
