#include "platform/workspace/Workspace.h"

namespace quillmere {

namespace {

class EmptyWorkspace final : public Workspace {
public:
    QList<RunningApplication> runningApplications() const override { return {}; }
    bool activate(qint32) override { return false; }
};

Workspace* installed = nullptr;

} // namespace

std::optional<RunningApplication> Workspace::application(qint32 pid) const {
    for (const RunningApplication& app : runningApplications())
        if (app.processIdentifier == pid)
            return app;
    return std::nullopt;
}

std::optional<RunningApplication> Workspace::frontmostApplication() const {
    for (const RunningApplication& app : runningApplications())
        if (app.isActive)
            return app;
    return std::nullopt;
}

Workspace& Workspace::current() {
    static EmptyWorkspace* none = new EmptyWorkspace; // lives for the process, like the platform's
    return installed ? *installed : *none;
}

void Workspace::setCurrent(Workspace* workspace) {
    installed = workspace;
}

} // namespace quillmere
