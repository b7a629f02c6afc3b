// The platform's announcements as a screen reader finds them in the accessibility tree: a
// notification inside the view, named by the text, that appears for each announcement while the
// view is on screen and never reappears with an old text.

#include "platform/accessibility/Announcer.h"

#include <QAccessible>
#include <QLabel>
#include <QWidget>
#include <gtest/gtest.h>

namespace quillmere::ax {
namespace {

struct Seen {
    QAccessible::Role role;
    QString name;
    bool visible;
};

Seen seen(QWidget* notification) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(notification);
    if (!iface)
        return {QAccessible::NoRole, QString(), false};
    return {iface->role(), iface->text(QAccessible::Name), notification->isVisible()};
}

int notificationChildren(const QWidget& view) {
    int count = 0;
    for (QObject* child : view.children())
        count += child->isWidgetType() &&
                 QAccessible::queryAccessibleInterface(child)->role() == QAccessible::Notification;
    return count;
}

TEST(NotificationAnnouncer, EachAnnouncementShowsANotificationNamedByItsText) {
    QWidget window;
    auto* view = new QWidget(&window);
    auto* label = new QLabel(QStringLiteral("What the view shows"), view);
    window.show();
    NotificationAnnouncer announcer;
    EXPECT_EQ(NotificationAnnouncer::notificationView(*view), nullptr);

    announcer.announce(*view, QStringLiteral("Ask Quillmere opened"), AnnouncementPriority::medium);
    QWidget* notification = NotificationAnnouncer::notificationView(*view);
    ASSERT_NE(notification, nullptr);
    EXPECT_EQ(notification->parentWidget(), view);
    Seen first = seen(notification);
    EXPECT_EQ(first.role, QAccessible::Notification);
    EXPECT_EQ(first.name, QStringLiteral("Ask Quillmere opened"));
    EXPECT_TRUE(first.visible);
    // It takes no room, no focus and no clicks, and leaves the view's own widgets as they were.
    EXPECT_TRUE(notification->geometry().isEmpty());
    EXPECT_EQ(notification->focusPolicy(), Qt::NoFocus);
    EXPECT_TRUE(notification->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(label)->role(), QAccessible::StaticText);

    // The same text twice, then another: one child, shown again each time.
    announcer.announce(*view, QStringLiteral("Ask Quillmere opened"), AnnouncementPriority::medium);
    announcer.announce(*view, QStringLiteral("Recommendation details expanded"), AnnouncementPriority::high);
    EXPECT_EQ(NotificationAnnouncer::notificationView(*view), notification);
    EXPECT_EQ(notificationChildren(*view), 1);
    EXPECT_EQ(seen(notification).name, QStringLiteral("Recommendation details expanded"));
    EXPECT_TRUE(notification->isVisible());
}

TEST(NotificationAnnouncer, AViewOffScreenSpeaksNothingThenOrLater) {
    QWidget window;
    auto* view = new QWidget(&window);
    NotificationAnnouncer announcer;

    // Not yet shown: the text is kept, nothing appears, and nothing appears with the window.
    announcer.announce(*view, QStringLiteral("Applying model and reasoning…"), AnnouncementPriority::medium);
    QWidget* notification = NotificationAnnouncer::notificationView(*view);
    ASSERT_NE(notification, nullptr);
    window.show();
    EXPECT_FALSE(notification->isVisible());

    // Shown, then the window goes and comes back: the old announcement does not appear again.
    announcer.announce(*view, QStringLiteral("Model and reasoning confirmed for the next send."),
                       AnnouncementPriority::medium);
    EXPECT_TRUE(notification->isVisible());
    window.hide();
    window.show();
    EXPECT_FALSE(notification->isVisible());
    announcer.announce(*view, QStringLiteral("Recommendation details collapsed"),
                       AnnouncementPriority::medium);
    EXPECT_TRUE(notification->isVisible());
    EXPECT_EQ(seen(notification).name, QStringLiteral("Recommendation details collapsed"));
}

TEST(Announcer, TheCurrentAnnouncerIsThePlatformsUnlessAStandInIsInstalled) {
    QWidget window;
    window.show();
    EXPECT_NE(dynamic_cast<NotificationAnnouncer*>(&Announcer::current()), nullptr);
    {
        RecordingAnnouncer outer;
        {
            RecordingAnnouncer inner;
            EXPECT_EQ(&Announcer::current(), &inner);
            announce(window, QStringLiteral("inner"), AnnouncementPriority::low);
        }
        EXPECT_EQ(&Announcer::current(), &outer);
        announce(window, QStringLiteral("outer"), AnnouncementPriority::medium);
        ASSERT_EQ(outer.posted.size(), 1u);
        EXPECT_EQ(outer.posted[0].view, &window);
        EXPECT_EQ(outer.posted[0].text, QStringLiteral("outer"));
        EXPECT_EQ(outer.posted[0].priority, AnnouncementPriority::medium);
        EXPECT_EQ(NotificationAnnouncer::notificationView(window), nullptr) << "nothing reached the platform";
    }
    EXPECT_NE(dynamic_cast<NotificationAnnouncer*>(&Announcer::current()), nullptr);
    announce(window, QStringLiteral("platform"), AnnouncementPriority::medium);
    ASSERT_NE(NotificationAnnouncer::notificationView(window), nullptr);
    EXPECT_EQ(seen(NotificationAnnouncer::notificationView(window)).name, QStringLiteral("platform"));
}

} // namespace
} // namespace quillmere::ax
