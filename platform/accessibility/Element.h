#pragma once

// A handle to one element of a host's accessibility tree.
//
// The host hands out a new handle object on every read, even for an element it handed out
// before. Two handles name the same element when they compare equal; their hash buckets them for
// de-duplication. Neither depends on which handle object is asked: code that compares handle
// objects (handleSerial) would see two different elements where the host sees one.

#include <QtGlobal>
#include <cstddef>
#include <functional>

namespace quillmere::ax {

class Element {
public:
    // The null handle: names nothing, equal only to other null handles.
    Element() = default;

    // Made by a Backend. `node` names the element within its backend, `hash` is the bucket the
    // backend reports for it (equal nodes always have equal hashes).
    static Element make(quint64 backendTag, quint64 node, qint32 pid, std::size_t hash);

    bool isNull() const { return node_ == 0; }
    quint64 node() const { return node_; }
    quint64 backendTag() const { return backend_; }
    // The owning process as recorded when the handle was made; read it through ax::pid().
    qint32 recordedPid() const { return pid_; }
    std::size_t hash() const { return hash_; }
    // Different for every handle handed out, so tests can show that equal elements arrive as
    // distinct handles.
    quint64 handleSerial() const { return serial_; }

    friend bool operator==(const Element& a, const Element& b) {
        return a.node_ == b.node_ && a.backend_ == b.backend_;
    }

private:
    quint64 backend_ = 0;
    quint64 node_ = 0;
    qint32 pid_ = 0;
    std::size_t hash_ = 0;
    quint64 serial_ = 0;
};

inline std::size_t qHash(const Element& element, std::size_t seed = 0) noexcept {
    return element.hash() ^ seed;
}

} // namespace quillmere::ax

template <> struct std::hash<quillmere::ax::Element> {
    std::size_t operator()(const quillmere::ax::Element& element) const noexcept { return element.hash(); }
};
