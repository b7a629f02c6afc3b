// Feeds arbitrary bytes to the inbox decoder and the inbox rules as if the connector service had
// sent them. The only acceptable outcomes are an accepted inbox, a DecodingError or a
// ConnectorFailure; anything else (a crash, another exception, a sanitizer report) is a fault.

#include "desktop/connector/ConnectorBoundary.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ConnectorPolicy local = ConnectorOriginPolicy();
    static const ConnectorPolicy hosted =
        ConnectorOriginPolicy(QStringLiteral("https://connector.example.com"));
    static const ConnectorCredential credential{
        QStringLiteral("http://127.0.0.1:18888"), QString(43, u'A'), QStringLiteral("0123456789abcdef"),
        QStringLiteral("local_test"), QStringLiteral("2026-01-16T11:00:00.000Z")};
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const ConnectorInbox inbox = ConnectorInbox::decode(bytes);
        for (const ConnectorPolicy* policy : {&local, &hosted}) {
            try {
                ConnectorBoundary::validate(inbox, credential, *policy);
            } catch (const ConnectorFailure&) {
            }
        }
    } catch (const DecodingError&) {
    }
    return 0;
}
