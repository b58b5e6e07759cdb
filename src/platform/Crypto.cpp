// The hash and key objects as every platform has them: the checks of their
// use, around the platform's own hash and key.

#include "platform/Crypto.h"
#include "platform/CryptoShared.h"

#include <new>

namespace zn {

std::unique_ptr<Md5Hash> Md5Hash::Create(const CryptoProvider &provider) {
    Native *native = NewMd5Hash(*provider.m_native);
    if (!native)
        return nullptr;
    Md5Hash *hash = new (std::nothrow) Md5Hash(native);
    if (!hash)
        FreeMd5Hash(native);
    return std::unique_ptr<Md5Hash>(hash);
}

Md5Hash::~Md5Hash() {
    FreeMd5Hash(m_native);
}

bool Md5Hash::Update(const void *data, size_t length) {
    return !m_finished && UpdateMd5Hash(m_native, data, length);
}

bool Md5Hash::Finish(uint8_t (&digest)[kMd5DigestLength]) {
    if (m_finished)
        return false;
    m_finished = true;
    return FinishMd5Hash(m_native, digest);
}

std::unique_ptr<Rc4Key> Rc4Key::Create(const CryptoProvider &provider, const uint8_t *key,
                                       size_t length) {
    if (!key || length < 1 || length > 256)
        return nullptr;
    Native *native = NewRc4Key(*provider.m_native, key, length);
    if (!native)
        return nullptr;
    Rc4Key *rc4 = new (std::nothrow) Rc4Key(native);
    if (!rc4)
        FreeRc4Key(native);
    return std::unique_ptr<Rc4Key>(rc4);
}

Rc4Key::~Rc4Key() {
    FreeRc4Key(m_native);
}

bool Rc4Key::Apply(uint8_t *data, size_t length) const {
    if (length == 0)
        return true;
    if (!data || length > static_cast<size_t>(INT32_MAX))
        return false;
    return ApplyRc4Key(*m_native, data, length);
}

}  // namespace zn
