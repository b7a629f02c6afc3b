#include "platform/accessibility/Announcer.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QWidget>
#include <utility>

namespace quillmere::ax {

namespace {

Announcer* installed = nullptr;

NotificationAnnouncer& platformAnnouncer() {
    static NotificationAnnouncer announcer;
    return announcer;
}

// The child that carries a view's announcements: it draws nothing and takes no input.
class NotificationView final : public QWidget {
public:
    NotificationView(QWidget* parent, QString text) : QWidget(parent), text(std::move(text)) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(0, 0, 0, 0);
        hide();
    }

    const QString text;

protected:
    void hideEvent(QHideEvent* event) override {
        QWidget::hideEvent(event);
        // Its window is going away. A child left shown would appear with the window again, and a
        // screen reader would speak the old announcement as if it were new.
        if (!isHidden())
            hide();
    }
};

// What a screen reader reads of the child: a notification whose name is the text.
class NotificationInterface final : public QAccessibleWidget {
public:
    explicit NotificationInterface(NotificationView* view)
        : QAccessibleWidget(view, QAccessible::Notification) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name)
            return static_cast<const NotificationView*>(widget())->text;
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* notificationFactory(const QString&, QObject* object) {
    if (auto* view = dynamic_cast<NotificationView*>(object))
        return new NotificationInterface(view);
    return nullptr;
}

std::vector<NotificationView*> notificationsOf(const QWidget& view) {
    std::vector<NotificationView*> found;
    for (QObject* child : view.children())
        if (auto* notification = dynamic_cast<NotificationView*>(child))
            found.push_back(notification);
    return found;
}

} // namespace

Announcer& Announcer::current() {
    return installed ? *installed : platformAnnouncer();
}

void Announcer::setCurrent(Announcer* announcer) {
    installed = announcer;
}

void NotificationAnnouncer::announce(QWidget& view, const QString& text, AnnouncementPriority) {
    // Qt asks the newest factory first, and the application object installs Qt's own widget
    // factory when it is made: ours goes in after it, or Qt's answers for the child as a plain
    // widget. A view to announce for means the application object exists.
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(notificationFactory);
        return true;
    }();
    (void)factoryInstalled;
    // Each announcement is a new object. Screen readers keep an object's name once they have
    // asked for it, and a renamed notification would be read with its first text. The previous
    // one stays, hidden, until the next announcement, for a screen reader still reading it.
    for (NotificationView* earlier : notificationsOf(view)) {
        if (earlier->isHidden())
            delete earlier;
        else
            earlier->hide();
    }
    auto* notification = new NotificationView(&view, text);
    if (view.isVisible())
        notification->show(); // what the accessibility bus sees as the notification appearing
}

QWidget* NotificationAnnouncer::notificationView(const QWidget& view) {
    const std::vector<NotificationView*> notifications = notificationsOf(view);
    return notifications.empty() ? nullptr : notifications.back();
}

RecordingAnnouncer::RecordingAnnouncer() : previous_(installed) {
    Announcer::setCurrent(this);
}

RecordingAnnouncer::~RecordingAnnouncer() {
    Announcer::setCurrent(previous_);
}

void RecordingAnnouncer::announce(QWidget& view, const QString& text, AnnouncementPriority priority) {
    posted.push_back({&view, text, priority});
}

std::vector<QString> RecordingAnnouncer::texts() const {
    std::vector<QString> result;
    for (const Posted& post : posted)
        result.push_back(post.text);
    return result;
}

void announce(QWidget& view, const QString& text, AnnouncementPriority priority) {
    Announcer::current().announce(view, text, priority);
}

} // namespace quillmere::ax
