#include "platform/accessibility/Element.h"

#include <atomic>

namespace quillmere::ax {

Element Element::make(quint64 backendTag, quint64 node, qint32 pid, std::size_t hash) {
    static std::atomic<quint64> serials{0};
    Element element;
    element.backend_ = backendTag;
    element.node_ = node;
    element.pid_ = pid;
    element.hash_ = hash;
    element.serial_ = ++serials;
    return element;
}

} // namespace quillmere::ax
