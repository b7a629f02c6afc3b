#include "platform/accessibility/Backend.h"

#include <algorithm>

namespace quillmere::ax {

namespace {

// Distinct from every simulated desktop's tag, so its handles never equal theirs.
constexpr quint64 kNoHostsTag = 0xffff'ffff'ffff'fff0ULL;

Backend* installed = nullptr;

NoHostsBackend& noHosts() {
    static NoHostsBackend backend;
    return backend;
}

} // namespace

Backend& Backend::current() {
    return installed ? *installed : noHosts();
}

void Backend::setCurrent(Backend* backend) {
    installed = backend;
}

Element NoHostsBackend::applicationElement(qint32 pid) {
    return Element::make(kNoHostsTag, 0x1'0000'0000ULL + quint32(pid), pid, std::size_t(pid));
}

Element NoHostsBackend::systemWideElement() {
    return Element::make(kNoHostsTag, 1, 0, 1);
}

Error copyAttributeValue(const Element& element, const QString& attribute, Value& value) {
    value = Value();
    if (element.isNull())
        return Error::illegalArgument;
    return Backend::current().copyAttributeValue(element, attribute, value);
}

void Backend::copyMultipleAttributeValues(const Element& element, const QString* attributes,
                                          std::size_t count, Value* values, Error* errors) {
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = Value();
        errors[i] = copyAttributeValue(element, attributes[i], values[i]);
    }
}

void copyMultipleAttributeValues(const Element& element, std::span<const QString> attributes,
                                 std::vector<Value>& values, std::vector<Error>& errors) {
    // Resized, not refilled: the backend sets every value and error it is asked for, and the
    // buffers of a caller that reads element after element keep their size.
    values.resize(attributes.size());
    errors.resize(attributes.size());
    copyMultipleAttributeValues(element, attributes, values.data(), errors.data());
}

void copyMultipleAttributeValues(const Element& element, std::span<const QString> attributes, Value* values,
                                 Error* errors) {
    if (element.isNull() || attributes.empty()) {
        std::fill(values, values + attributes.size(), Value());
        std::fill(errors, errors + attributes.size(), Error::illegalArgument);
        return;
    }
    Backend::current().copyMultipleAttributeValues(element, attributes.data(), attributes.size(), values,
                                                   errors);
}

Error Backend::copyAttributeValues(const Element& element, const QString& attribute, qsizetype index,
                                   qsizetype maxValues, Value& values) {
    Value whole;
    if (const Error error = copyAttributeValue(element, attribute, whole); error != Error::success)
        return error;
    return listPart(whole, index, maxValues, values);
}

Error Backend::attributeValueCount(const Element& element, const QString& attribute, qsizetype& count) {
    Value whole;
    if (const Error error = copyAttributeValue(element, attribute, whole); error != Error::success)
        return error;
    const Value::List* list = whole.list();
    if (!list)
        return Error::illegalArgument;
    count = qsizetype(list->size());
    return Error::success;
}

Error listPart(const Value& whole, qsizetype index, qsizetype maxValues, Value& values) {
    const Value::List* list = whole.list();
    if (!list || index < 0 || maxValues < 0)
        return Error::illegalArgument;
    const qsizetype from = std::min(index, qsizetype(list->size()));
    const qsizetype to = from + std::min(maxValues, qsizetype(list->size()) - from);
    values = Value(Value::List(list->begin() + from, list->begin() + to));
    return Error::success;
}

Error copyAttributeValues(const Element& element, const QString& attribute, qsizetype index,
                          qsizetype maxValues, Value& values) {
    values = Value();
    if (element.isNull() || index < 0 || maxValues < 0)
        return Error::illegalArgument;
    return Backend::current().copyAttributeValues(element, attribute, index, maxValues, values);
}

Error getAttributeValueCount(const Element& element, const QString& attribute, qsizetype& count) {
    count = 0;
    if (element.isNull())
        return Error::illegalArgument;
    return Backend::current().attributeValueCount(element, attribute, count);
}

Error copyAttributeNames(const Element& element, Value& names) {
    names = Value();
    if (element.isNull())
        return Error::illegalArgument;
    return Backend::current().copyAttributeNames(element, names);
}

Error copyActionNames(const Element& element, Value& names) {
    names = Value();
    if (element.isNull())
        return Error::illegalArgument;
    return Backend::current().copyActionNames(element, names);
}

Error performAction(const Element& element, const QString& action) {
    if (element.isNull())
        return Error::illegalArgument;
    return Backend::current().performAction(element, action);
}

Error setAttributeValue(const Element& element, const QString& attribute, const Value& value) {
    if (element.isNull())
        return Error::illegalArgument;
    return Backend::current().setAttributeValue(element, attribute, value);
}

Element createApplication(qint32 pid) {
    return Backend::current().applicationElement(pid);
}

Element createSystemWide() {
    return Backend::current().systemWideElement();
}

Error getPid(const Element& element, qint32& pid) {
    if (element.isNull())
        return Error::illegalArgument;
    return Backend::current().pid(element, pid);
}

bool isProcessTrusted() {
    return Backend::current().isProcessTrusted(false);
}

bool isProcessTrustedWithPrompt(bool prompt) {
    return Backend::current().isProcessTrusted(prompt);
}

} // namespace quillmere::ax
