#pragma once

// A backend that answers with another backend's answers: the calls every backend must answer are
// passed on, and the reads a backend may answer its own way (several attributes at once, part of
// a list, a list's length) are left to the interface's own ways of answering them, unless a
// subclass passes them on too.

#include "platform/accessibility/Backend.h"

namespace quillmere::testing {

class ForwardingBackend : public ax::Backend {
public:
    explicit ForwardingBackend(ax::Backend& inner) : inner_(inner) {}

    ax::Error copyAttributeValue(const ax::Element& element, const QString& attribute,
                                 ax::Value& value) override {
        return inner_.copyAttributeValue(element, attribute, value);
    }
    ax::Error copyAttributeNames(const ax::Element& element, ax::Value& names) override {
        return inner_.copyAttributeNames(element, names);
    }
    ax::Error copyActionNames(const ax::Element& element, ax::Value& names) override {
        return inner_.copyActionNames(element, names);
    }
    ax::Error performAction(const ax::Element& element, const QString& action) override {
        return inner_.performAction(element, action);
    }
    ax::Error setAttributeValue(const ax::Element& element, const QString& attribute,
                                const ax::Value& value) override {
        return inner_.setAttributeValue(element, attribute, value);
    }
    ax::Element applicationElement(qint32 pid) override { return inner_.applicationElement(pid); }
    ax::Element systemWideElement() override { return inner_.systemWideElement(); }
    ax::Error pid(const ax::Element& element, qint32& pid) override { return inner_.pid(element, pid); }
    bool isProcessTrusted(bool prompt) override { return inner_.isProcessTrusted(prompt); }

protected:
    ax::Backend& inner_;
};

} // namespace quillmere::testing
