#include "platform/events/WindowList.h"

namespace quillmere {

namespace {

class NoWindows final : public WindowList {
public:
    QList<QVariantMap> copyWindowInfo(int) override { return {}; }
};

WindowList* installed = nullptr;

} // namespace

WindowList& WindowList::current() {
    static NoWindows none;
    return installed ? *installed : none;
}

void WindowList::setCurrent(WindowList* list) {
    installed = list;
}

} // namespace quillmere
