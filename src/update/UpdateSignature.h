#pragma once

#include <QByteArray>

// Ed25519 signatures of update archives, made by the publisher's private key.
namespace UpdateSignature {

// Whether signatureBase64 (standard base64 with padding of a 64-byte signature) verifies
// over data against publicKeyBase64 (standard base64 with padding of a 32-byte raw public
// key). Anything malformed does not verify.
bool verify(const QByteArray &publicKeyBase64, const QByteArray &signatureBase64,
            const QByteArray &data);

} // namespace UpdateSignature
