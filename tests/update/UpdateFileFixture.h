// A server list file in a temporary directory, read and written through the
// library's own profile file, with a keyed cipher to make entries.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "store/ServerList.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

namespace zn {

class UpdateFileTest : public ::testing::Test {
  protected:
    UpdateFileTest() : m_cipher(false) {
        m_cipher.DeriveKey();
        m_profile.m_strFileName = ServerListPath(m_dir.Path());
    }

    // Writes the section with the given key=value lines.
    void WriteFile(const std::vector<std::pair<std::string, std::string>> &keys) {
        std::vector<std::string> lines = {"[NETWORK]"};
        for (const auto &kv : keys)
            lines.push_back(kv.first + "=" + kv.second);
        zntest::WriteWholeFile(m_profile.m_strFileName, zntest::Crlf(lines));
    }
    std::string Value(const std::string &key) {
        return m_profile.GetValue(kNetworkSection, key, kMissing);
    }
    // An entry: the enciphered address, a comma and the status.
    std::string Entry(const std::string &plain, const std::string &status) {
        return m_cipher.Encipher(plain) + "," + status;
    }

    zntest::TempDir m_dir;
    CAddressCipher m_cipher;
    CProfileFile m_profile;
};

}  // namespace zn
