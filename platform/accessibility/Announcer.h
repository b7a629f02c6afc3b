#pragma once

// Announcements for assistive technology: a short text a screen reader speaks on behalf of a view,
// without moving the keyboard focus ("Ask Quillmere opened", the outcome of a switch).
//
// Production code calls ax::announce(); it goes to the current Announcer, by default the
// platform's NotificationAnnouncer. Tests install a RecordingAnnouncer.

#include <QString>
#include <vector>

class QWidget;

namespace quillmere::ax {

// How urgently a screen reader should speak the text, on the platform's scale.
enum class AnnouncementPriority : int { low = 10, medium = 50, high = 90 };

class Announcer {
public:
    virtual ~Announcer() = default;

    // Posts `text` for the view, which sits in a window.
    virtual void announce(QWidget& view, const QString& text, AnnouncementPriority priority) = 0;

    // The announcer ax::announce() uses. Never null: the platform's by default.
    static Announcer& current();
    // Installs `announcer` (nullptr restores the platform's). The caller keeps ownership and must
    // uninstall it before destroying it.
    static void setCurrent(Announcer* announcer);
};

// The delivery a Linux screen reader presents. Qt 6.4 has no announcement event and its AT-SPI
// bridge drops alerts, but Orca speaks a notification the moment one appears, queued behind what
// it is saying and without taking the focus. So each announcement is an empty, zero-sized child
// of the view whose accessible role is Notification and whose accessible name is the text; it is
// shown, which reaches the accessibility bus as "showing" of a notification named by the text.
// Nothing appears where the view does not show on screen: a window that is hidden or not yet
// shown speaks nothing, and never speaks an old announcement when it appears later.
//
// Orca has no priorities for notifications; each is queued, as a medium priority asks.
class NotificationAnnouncer final : public Announcer {
public:
    void announce(QWidget& view, const QString& text, AnnouncementPriority priority) override;

    // The child of `view` that carries its latest announcement; none before the first.
    static QWidget* notificationView(const QWidget& view);
};

// A stand-in that keeps what is posted, installed as the current announcer while it lives.
class RecordingAnnouncer final : public Announcer {
public:
    struct Posted {
        const QWidget* view = nullptr;
        QString text;
        AnnouncementPriority priority = AnnouncementPriority::medium;
    };

    RecordingAnnouncer();
    ~RecordingAnnouncer() override;
    RecordingAnnouncer(const RecordingAnnouncer&) = delete;
    RecordingAnnouncer& operator=(const RecordingAnnouncer&) = delete;

    void announce(QWidget& view, const QString& text, AnnouncementPriority priority) override;

    std::vector<Posted> posted;
    // The texts posted, in order.
    std::vector<QString> texts() const;

private:
    Announcer* previous_;
};

// Posts through Announcer::current().
void announce(QWidget& view, const QString& text, AnnouncementPriority priority);

} // namespace quillmere::ax
