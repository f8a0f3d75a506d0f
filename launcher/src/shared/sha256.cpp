#include "shared/sha256.h"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

namespace shared {

namespace {

// Fetching the algorithm once spares OpenSSL 3 its implicit lookup on every initialisation.
const EVP_MD* sha256Algorithm() {
    static const EVP_MD* const algorithm = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched != nullptr ? fetched : EVP_sha256();
    }();
    return algorithm;
}

void check(int status) {
    if (status != 1) {
        throw std::runtime_error("SHA-256 computation failed");
    }
}

} // namespace

void TSha256::TContextDeleter::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

TSha256::TSha256() : m_context(EVP_MD_CTX_new()) {
    if (!m_context) {
        throw std::bad_alloc();
    }
    check(EVP_DigestInit_ex(m_context.get(), sha256Algorithm(), nullptr));
}

TSha256::~TSha256() = default;
TSha256::TSha256(TSha256&&) noexcept = default;
TSha256& TSha256::operator=(TSha256&&) noexcept = default;

void TSha256::addData(const char* data, qint64 size) {
    if (data == nullptr || size <= 0 || !m_result.isEmpty() || !m_context) {
        return;
    }
    check(EVP_DigestUpdate(m_context.get(), data, static_cast<size_t>(size)));
}

void TSha256::addData(const QByteArray& data) {
    addData(data.constData(), data.size());
}

QByteArray TSha256::result() {
    if (m_result.isEmpty() && m_context) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        check(EVP_DigestFinal_ex(m_context.get(), digest, &length));
        m_result = QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length));
    }
    return m_result;
}

void TSha256::reset() {
    if (!m_context) {
        m_context.reset(EVP_MD_CTX_new());
        if (!m_context) {
            throw std::bad_alloc();
        }
    }
    m_result.clear();
    check(EVP_DigestInit_ex(m_context.get(), sha256Algorithm(), nullptr));
}

QByteArray TSha256::hash(const QByteArray& data) {
    return hash(data.constData(), data.size());
}

QByteArray TSha256::hash(const char* data, qint64 size) {
    TSha256 sha;
    sha.addData(data, size);
    return sha.result();
}

} // namespace shared
