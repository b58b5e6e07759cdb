// The address cipher on any text: HexDecode and HexEncode in buffers of
// exactly the size they are given (the sanitizer sees one byte too far),
// Decipher of any stored text, and Encipher followed by Decipher.

#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "store/AddressCipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = znfuzz::Rest(data, size);

    std::vector<char> decoded(text.begin(), text.end());
    decoded.push_back('\0');
    uint32_t length = static_cast<uint32_t>(text.size());
    if (zn::CAddressCipher::HexDecode(decoded.data(), &length))
        FUZZ_CHECK(text.size() % 2 == 0 && length == text.size() / 2);

    if (text.size() < 128) {
        std::vector<unsigned char> encoded(text.begin(), text.end());
        encoded.resize(2 * text.size() + 1);
        length = static_cast<uint32_t>(text.size());
        FUZZ_CHECK(zn::CAddressCipher::HexEncode(encoded.data(), &length));
        FUZZ_CHECK(length == 2 * text.size());
        std::vector<char> back(encoded.begin(), encoded.end());
        FUZZ_CHECK(zn::CAddressCipher::HexDecode(back.data(), &length));
        FUZZ_CHECK(std::memcmp(back.data(), text.data(), text.size()) == 0);
    }

    zn::CAddressCipher &cipher = znfuzz::Cipher();
    FUZZ_CHECK(cipher.HasKey());
    const std::string plain = cipher.Decipher(text);
    FUZZ_CHECK(plain.size() <= text.size());
    const std::string hex = cipher.Encipher(text);
    if (text.size() >= 128) {
        FUZZ_CHECK(hex.empty());
    } else {
        FUZZ_CHECK(hex.size() == 2 * text.size());
        FUZZ_CHECK(hex.find_first_not_of("0123456789ABCDEF") == std::string::npos);
        // Deciphering stops at a zero byte, as the stored texts always did.
        FUZZ_CHECK(cipher.Decipher(hex) == text.substr(0, text.find('\0')));
    }
    return 0;
}
