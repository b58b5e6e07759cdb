// Server addresses as stored in the server list file: RC4 under the MD5
// digest of the provider's pass phrase, written as upper-case hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zembrixnet.h"

namespace zn {

// Plain texts of this many bytes or more are not enciphered: HexEncode takes
// at most 127 bytes, whose 254 digits and a zero fill its scratch.
constexpr size_t kEncipherLimit = 128;
// Hex texts of this many characters or more are not deciphered: owners
// decipher into address buffers, terminator included.
constexpr size_t kDecipherLimit = ZN_ADDRESS_BUFFER_BYTES;

class CAddressCipher {
  public:
    CAddressCipher();
    // printNotice false: the provider notice is not printed, for tools whose
    // standard output scripts read.
    explicit CAddressCipher(bool printNotice);
    virtual ~CAddressCipher();
    CAddressCipher(const CAddressCipher &) = delete;
    CAddressCipher &operator=(const CAddressCipher &) = delete;

    // Derives the key on the first call; later calls change nothing.
    void DeriveKey();
    // DeriveKey with a phrase of the caller's; the same one-time rule holds.
    void DeriveKeyFromPhrase(const char *phrase, size_t length);
    bool HasKey() const;

    // Hex cipher text; the text unchanged without a key; with a key, empty
    // for a text of kEncipherLimit bytes or more.
    std::string Encipher(const std::string &plain);
    // Plain text; the text unchanged without a key, for an odd length or a
    // text of kDecipherLimit characters or more.
    std::string Decipher(const std::string &hex);

    // Writes the 66-character pass phrase and a terminating zero (67 bytes).
    static void BuildPassPhrase(char *buffer);
    // In-place conversions with their fixed limits; nonzero on success.
    static int HexEncode(unsigned char *buffer, uint32_t *length);
    static int HexDecode(char *buffer, uint32_t *length);

  private:
    struct Impl;
    Impl *m_impl;
};

}  // namespace zn
