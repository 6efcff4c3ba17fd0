#include "core/Sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>

namespace tavrel {

namespace {

[[noreturn]] void outOfOrder()
{
    // libcrypto fails here only without memory or without its SHA-256: nothing can go on.
    qFatal("SHA-256 is not available from libcrypto");
}

} // namespace

void releaseThreadCrypto()
{
    OPENSSL_thread_stop();
}

void Sha256::Free::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : m_context(EVP_MD_CTX_new())
{
    if (!m_context)
        outOfOrder();
    reset();
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256 &&) noexcept = default;
Sha256 &Sha256::operator=(Sha256 &&) noexcept = default;

void Sha256::reset()
{
    if (EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1)
        outOfOrder();
}

void Sha256::add(QByteArrayView bytes)
{
    if (!bytes.isEmpty() && EVP_DigestUpdate(m_context.get(), bytes.data(), size_t(bytes.size())) != 1)
        outOfOrder();
}

QByteArray Sha256::result() const
{
    // Finished on a copy, so the running state can take more.
    std::unique_ptr<evp_md_ctx_st, Free> copy(EVP_MD_CTX_new());
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), m_context.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), reinterpret_cast<unsigned char *>(digest.data()), &size) != 1)
        outOfOrder();
    digest.resize(size);
    return digest;
}

QByteArray Sha256::of(QByteArrayView bytes)
{
    Sha256 hash;
    hash.add(bytes);
    return hash.result();
}

} // namespace tavrel
