// The platform's announcements as a screen reader finds them in the accessibility tree: a
// notification inside the view, named by the text, that appears for each announcement while the
// view is on screen and never reappears with an old text.

#include "platform/accessibility/Announcer.h"

#include <QAccessible>
#include <QLabel>
#include <QPointer>
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

// The view's notifications, oldest first.
std::vector<QWidget*> notifications(const QWidget& view) {
    std::vector<QWidget*> found;
    for (QObject* child : view.children())
        if (child->isWidgetType() &&
            QAccessible::queryAccessibleInterface(child)->role() == QAccessible::Notification)
            found.push_back(static_cast<QWidget*>(child));
    return found;
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

    // Each announcement is a notification of its own, named from the start, so a screen reader
    // that remembers names never reads an earlier text; the one before it stays, hidden, and the
    // older ones go.
    const QPointer<QWidget> firstOne = notification;
    announcer.announce(*view, QStringLiteral("Ask Quillmere opened"), AnnouncementPriority::medium);
    const QPointer<QWidget> secondOne = NotificationAnnouncer::notificationView(*view);
    EXPECT_NE(secondOne, firstOne);
    EXPECT_EQ(seen(secondOne).name, QStringLiteral("Ask Quillmere opened"));
    EXPECT_TRUE(secondOne->isVisible());
    EXPECT_FALSE(firstOne->isVisible());
    EXPECT_EQ(seen(firstOne).name, QStringLiteral("Ask Quillmere opened")) << "still readable";
    announcer.announce(*view, QStringLiteral("Recommendation details expanded"), AnnouncementPriority::high);
    EXPECT_TRUE(firstOne.isNull());
    const std::vector<QWidget*> now = notifications(*view);
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[0], secondOne.data());
    EXPECT_FALSE(now[0]->isVisible());
    EXPECT_EQ(now[1], NotificationAnnouncer::notificationView(*view));
    EXPECT_EQ(seen(now[1]).name, QStringLiteral("Recommendation details expanded"));
    EXPECT_TRUE(now[1]->isVisible());
}

TEST(NotificationAnnouncer, AViewOffScreenSpeaksNothingThenOrLater) {
    QWidget window;
    auto* view = new QWidget(&window);
    NotificationAnnouncer announcer;

    // Not yet shown: nothing appears, then or with the window.
    announcer.announce(*view, QStringLiteral("Applying model and reasoning…"), AnnouncementPriority::medium);
    ASSERT_NE(NotificationAnnouncer::notificationView(*view), nullptr);
    window.show();
    for (QWidget* notification : notifications(*view))
        EXPECT_FALSE(notification->isVisible());

    // Shown, then the window goes and comes back: the old announcement does not appear again.
    announcer.announce(*view, QStringLiteral("Model and reasoning confirmed for the next send."),
                       AnnouncementPriority::medium);
    EXPECT_TRUE(NotificationAnnouncer::notificationView(*view)->isVisible());
    window.hide();
    window.show();
    for (QWidget* notification : notifications(*view))
        EXPECT_FALSE(notification->isVisible());
    announcer.announce(*view, QStringLiteral("Recommendation details collapsed"),
                       AnnouncementPriority::medium);
    QWidget* latest = NotificationAnnouncer::notificationView(*view);
    EXPECT_TRUE(latest->isVisible());
    EXPECT_EQ(seen(latest).name, QStringLiteral("Recommendation details collapsed"));
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
