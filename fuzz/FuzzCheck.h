// What the fuzz targets share: a property check that stops the run with a
// report (libFuzzer then saves the input), one keyed cipher, and splitting an input into
// newline-separated fields so that seeds stay readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "store/AddressCipher.h"

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

namespace znfuzz {

// Takes the text up to the next newline (or all that is left) off the input.
inline std::string NextField(const uint8_t *&data, size_t &size) {
    size_t length = 0;
    while (length < size && data[length] != '\n')
        ++length;
    std::string field(reinterpret_cast<const char *>(data), length);
    const size_t used = length < size ? length + 1 : length;
    data += used;
    size -= used;
    return field;
}

// "ZembrixNetWork.ini" in a fresh directory of this run, named after the target.
inline std::string ScratchFile(const std::string &target) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("zn-fuzz-" + target + "-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir);
    return (dir / "ZembrixNetWork.ini").string();
}

// One keyed cipher for every input: deriving the key is slow and its result
// never changes. Never destroyed, as in the library.
inline zn::CAddressCipher &Cipher() {
    static zn::CAddressCipher *cipher = [] {
        auto *c = new zn::CAddressCipher(false);
        c->DeriveKey();
        return c;
    }();
    return *cipher;
}

inline std::string Rest(const uint8_t *data, size_t size) {
    return std::string(reinterpret_cast<const char *>(data), size);
}

}  // namespace znfuzz
