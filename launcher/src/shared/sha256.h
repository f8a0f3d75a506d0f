#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

struct evp_md_ctx_st;

namespace shared {

// SHA-256 on OpenSSL's libcrypto, which uses the processor's SHA instructions where present.
// Every digest of the launcher and its tools goes through this class; the result is always the
// raw 32 digest bytes.
//
// result() finishes the computation: later calls return the same digest, and addData() is
// ignored until reset() starts a new computation.
class TSha256 {
public:
    static constexpr int DIGEST_SIZE = 32;

    TSha256();
    ~TSha256();
    TSha256(TSha256&&) noexcept;
    TSha256& operator=(TSha256&&) noexcept;
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    // A null pointer or a size below 1 adds nothing.
    void addData(const char* data, qint64 size);
    void addData(const QByteArray& data);
    QByteArray result();
    void reset();

    static QByteArray hash(const QByteArray& data);
    static QByteArray hash(const char* data, qint64 size);

private:
    struct TContextDeleter {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, TContextDeleter> m_context;
    QByteArray m_result;
};

} // namespace shared
