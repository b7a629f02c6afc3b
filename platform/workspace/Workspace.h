#pragma once

// The running applications and the notifications about them.
//
// A RunningApplication is a snapshot taken when it was asked for; ask the workspace again for
// the current state (activation, for one, changes it).

#include <QList>
#include <QObject>
#include <QString>
#include <optional>

namespace quillmere {

struct RunningApplication {
    std::optional<QString> bundleIdentifier;
    std::optional<QString> localizedName;
    qint32 processIdentifier = 0;
    bool isActive = false;
    bool isHidden = false;
    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

class Workspace : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Every running application, in the workspace's order.
    virtual QList<RunningApplication> runningApplications() const = 0;
    // The application with process `pid`, none when it is not running.
    virtual std::optional<RunningApplication> application(qint32 pid) const;
    // The application that receives key events, none when there is none.
    virtual std::optional<RunningApplication> frontmostApplication() const;
    // Brings the application to the front, ignoring other applications. False when it is not
    // running or refused.
    virtual bool activate(qint32 pid) = 0;

    // Never null: without a simulated desktop nothing runs.
    static Workspace& current();
    static void setCurrent(Workspace* workspace);

signals:
    void didActivateApplication(const quillmere::RunningApplication& application);
    void didHideApplication(const quillmere::RunningApplication& application);
    void didTerminateApplication(const quillmere::RunningApplication& application);
    void activeSpaceDidChange();
};

} // namespace quillmere

Q_DECLARE_METATYPE(quillmere::RunningApplication)
