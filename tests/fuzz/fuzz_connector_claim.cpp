// Feeds arbitrary bytes to the pairing-claim decoder and the credential rules, and to the stored
// credential's decoder, as a hostile service or a tampered keychain item could. The only
// acceptable outcomes are a valid credential, a DecodingError or a ConnectorFailure.

#include "desktop/connector/ConnectorBoundary.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ConnectorPolicy local = ConnectorOriginPolicy();
    static const QDateTime now(QDate(2026, 1, 15), QTime(12, 0), Qt::UTC);
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString origin = QStringLiteral("http://127.0.0.1:18888");
    try {
        const ConnectorCredential credential = Claim::decode(bytes).credential(origin);
        ConnectorBoundary::validate(credential, origin, now, local);
        // A credential that passes must survive its own stored form unchanged.
        if (!(ConnectorCredential::decode(credential.encoded()) == credential))
            __builtin_trap();
    } catch (const DecodingError&) {
    } catch (const ConnectorFailure&) {
    }
    try {
        const ConnectorCredential stored = ConnectorCredential::decode(bytes);
        ConnectorBoundary::validate(stored, stored.origin, now, local);
    } catch (const DecodingError&) {
    } catch (const ConnectorFailure&) {
    }
    return 0;
}
