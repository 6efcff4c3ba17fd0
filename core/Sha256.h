#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

struct evp_md_ctx_st;

namespace tavrel {

// SHA-256 of bytes fed in pieces, through OpenSSL's libcrypto (which uses the processor's SHA
// instructions: more than ten times the speed of QCryptographicHash here).
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256 &&) noexcept;
    Sha256 &operator=(Sha256 &&) noexcept;

    void add(QByteArrayView bytes);
    // The digest of everything added so far (32 bytes); more may be added afterwards.
    QByteArray result() const;
    // Back to the digest of nothing.
    void reset();

    static QByteArray of(QByteArrayView bytes);

private:
    struct Free
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
};

// Frees what libcrypto keeps for the calling thread. A QThread reports itself finished before
// its thread's exit handlers run, so a process may end with that state still held: call this
// last on a QThread that hashed or derived keys.
void releaseThreadCrypto();

} // namespace tavrel
