#pragma once

// The accessibility interface the application reads and drives hosts through.
//
// Production code calls the free functions below; they go to the current Backend. On this
// platform the backend is the simulated desktop when one is loaded; without one there are no
// accessible hosts and the process is not trusted.

#include "platform/accessibility/Element.h"
#include "platform/accessibility/Error.h"
#include "platform/accessibility/Value.h"

#include <QString>
#include <cstddef>
#include <span>
#include <vector>

namespace quillmere::ax {

class Backend {
public:
    virtual ~Backend() = default;

    virtual Error copyAttributeValue(const Element& element, const QString& attribute, Value& value) = 0;
    // Several attributes of one element in one request, as hosts can answer them in one round
    // trip: `values[i]` and `errors[i]` are what copyAttributeValue gives for `attributes[i]`.
    // All three have `count` entries. By default, one read after another.
    virtual void copyMultipleAttributeValues(const Element& element, const QString* attributes,
                                             std::size_t count, Value* values, Error* errors);
    // Part of a list attribute: up to `maxValues` of its values from the `index`-th on, as a list
    // value (fewer when the list ends, none past its end), so that a list of tens of thousands of
    // elements need not be handed over whole to read a few of them. An attribute whose value is no
    // list is an illegal argument. By default, the whole value read and cut.
    virtual Error copyAttributeValues(const Element& element, const QString& attribute, qsizetype index,
                                      qsizetype maxValues, Value& values);
    // How many values a list attribute holds, without handing them over; an attribute whose value
    // is no list is an illegal argument. By default, the whole value read and counted.
    virtual Error attributeValueCount(const Element& element, const QString& attribute, qsizetype& count);
    // The names of the attributes the element has, as a list value (hosts may answer oddly).
    virtual Error copyAttributeNames(const Element& element, Value& names) = 0;
    // The names of the actions the element offers, as a list value.
    virtual Error copyActionNames(const Element& element, Value& names) = 0;
    virtual Error performAction(const Element& element, const QString& action) = 0;
    virtual Error setAttributeValue(const Element& element, const QString& attribute, const Value& value) = 0;
    // The element of the application with process `pid` (made even when no such process runs).
    virtual Element applicationElement(qint32 pid) = 0;
    // The element that answers for the whole system ("AXFocusedUIElement" among others).
    virtual Element systemWideElement() = 0;
    virtual Error pid(const Element& element, qint32& pid) = 0;
    // Whether this process may use accessibility. `prompt` asks the user to grant it when not.
    virtual bool isProcessTrusted(bool prompt) = 0;

    // The backend the free functions use. Never null: a backend with no hosts by default.
    static Backend& current();
    // Installs `backend` (nullptr restores the default). The caller keeps ownership and must
    // uninstall it before destroying it.
    static void setCurrent(Backend* backend);
};

// A backend with no accessible hosts: every read fails, and the process is not trusted.
class NoHostsBackend final : public Backend {
public:
    Error copyAttributeValue(const Element&, const QString&, Value&) override { return Error::apiDisabled; }
    Error copyAttributeNames(const Element&, Value&) override { return Error::apiDisabled; }
    Error copyActionNames(const Element&, Value&) override { return Error::apiDisabled; }
    Error performAction(const Element&, const QString&) override { return Error::apiDisabled; }
    Error setAttributeValue(const Element&, const QString&, const Value&) override {
        return Error::apiDisabled;
    }
    Element applicationElement(qint32 pid) override;
    Element systemWideElement() override;
    Error pid(const Element&, qint32&) override { return Error::apiDisabled; }
    bool isProcessTrusted(bool) override { return false; }
};

// The platform calls, against Backend::current().
Error copyAttributeValue(const Element& element, const QString& attribute, Value& value);
// The attributes of one element in one request; each value and error as copyAttributeValue
// gives them. `values` and `errors` are resized to the number of attributes.
void copyMultipleAttributeValues(const Element& element, std::span<const QString> attributes,
                                 std::vector<Value>& values, std::vector<Error>& errors);
// The same into buffers of the caller's, which hold at least one place per attribute.
void copyMultipleAttributeValues(const Element& element, std::span<const QString> attributes, Value* values,
                                 Error* errors);
// The part of a list value `whole` that copyAttributeValues gives: up to `maxValues` values from
// the `index`-th on. Anything but a list is an illegal argument.
Error listPart(const Value& whole, qsizetype index, qsizetype maxValues, Value& values);
// Part of a list attribute, as Backend::copyAttributeValues gives it; a negative index or count
// is an illegal argument.
Error copyAttributeValues(const Element& element, const QString& attribute, qsizetype index,
                          qsizetype maxValues, Value& values);
// The length of a list attribute, as Backend::attributeValueCount gives it.
Error getAttributeValueCount(const Element& element, const QString& attribute, qsizetype& count);
Error copyAttributeNames(const Element& element, Value& names);
Error copyActionNames(const Element& element, Value& names);
Error performAction(const Element& element, const QString& action);
Error setAttributeValue(const Element& element, const QString& attribute, const Value& value);
Element createApplication(qint32 pid);
Element createSystemWide();
Error getPid(const Element& element, qint32& pid);
bool isProcessTrusted();
bool isProcessTrustedWithPrompt(bool prompt);

} // namespace quillmere::ax
