#pragma once

// A host that lists elements as children over and over: the answers of another backend (the
// simulated desktop), with "AXChildren" of chosen elements replaced by lists the test makes, which
// may name the element itself or elements listed elsewhere, any number of times.

#include "support/ForwardingBackend.h"

#include <utility>
#include <vector>

namespace quillmere::testing {

class RepeatingChildrenBackend final : public ForwardingBackend {
public:
    // Installs itself in place of `inner` until it is destroyed.
    explicit RepeatingChildrenBackend(ax::Backend& inner) : ForwardingBackend(inner) {
        ax::Backend::setCurrent(this);
    }
    ~RepeatingChildrenBackend() override { ax::Backend::setCurrent(&inner_); }
    RepeatingChildrenBackend(const RepeatingChildrenBackend&) = delete;
    RepeatingChildrenBackend& operator=(const RepeatingChildrenBackend&) = delete;

    // From now on `element` lists `children` as its "AXChildren".
    void list(const ax::Element& element, const std::vector<ax::Element>& children) {
        ax::Value::List values;
        values.reserve(children.size());
        for (const ax::Element& child : children)
            values.emplace_back(child);
        replaced_.emplace_back(element, ax::Value(std::move(values)));
    }

    ax::Error copyAttributeValue(const ax::Element& element, const QString& attribute,
                                 ax::Value& value) override {
        if (const ax::Value* children = replacement(element, attribute)) {
            value = *children;
            return ax::Error::success;
        }
        return inner_.copyAttributeValue(element, attribute, value);
    }
    void copyMultipleAttributeValues(const ax::Element& element, const QString* attributes, std::size_t count,
                                     ax::Value* values, ax::Error* errors) override {
        inner_.copyMultipleAttributeValues(element, attributes, count, values, errors);
        for (std::size_t i = 0; i < count; ++i)
            if (const ax::Value* children = replacement(element, attributes[i])) {
                values[i] = *children;
                errors[i] = ax::Error::success;
            }
    }

private:
    const ax::Value* replacement(const ax::Element& element, const QString& attribute) const {
        if (attribute != QLatin1String("AXChildren"))
            return nullptr;
        for (const auto& [listed, children] : replaced_)
            if (listed == element)
                return &children;
        return nullptr;
    }

    std::vector<std::pair<ax::Element, ax::Value>> replaced_;
};

} // namespace quillmere::testing
