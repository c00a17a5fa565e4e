#include "update/UpdateSignature.h"

#include <memory>

#include <openssl/evp.h>

namespace UpdateSignature {

namespace {

constexpr qsizetype kKeyBytes = 32;
constexpr qsizetype kSignatureBytes = 64;

// Strict: only the canonical text (standard alphabet, padding, nothing around it) counts.
QByteArray decode(const QByteArray &base64, qsizetype expectedBytes)
{
    const auto result = QByteArray::fromBase64Encoding(
        base64, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != expectedBytes || result.decoded.toBase64() != base64)
        return {};
    return result.decoded;
}

} // namespace

bool verify(const QByteArray &publicKeyBase64, const QByteArray &signatureBase64,
            const QByteArray &data)
{
    const QByteArray key = decode(publicKeyBase64, kKeyBytes);
    const QByteArray signature = decode(signatureBase64, kSignatureBytes);
    if (key.isEmpty() || signature.isEmpty())
        return false;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char *>(key.constData()),
                                    size_t(key.size())),
        &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    // Pure Ed25519 takes no digest of its own: the whole message goes in one call.
    return pkey && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
           EVP_DigestVerify(
               context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
               size_t(signature.size()), reinterpret_cast<const unsigned char *>(data.constData()),
               size_t(data.size())) == 1;
}

} // namespace UpdateSignature
