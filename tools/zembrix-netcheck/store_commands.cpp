// list, encipher, decipher: the server list file and its address cipher
// seen from the command line.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/ToolAccess.h"
#include "commands.h"
#include "output.h"
#include "places.h"

namespace {

using zn::kDecipherLimit;
using zn::kEncipherLimit;

// Keeps a wild count from flooding the terminal.
constexpr int kMostEntriesListed = 100;

bool IsCipherHex(const std::string &text) {
    return text.size() % 2 == 0 && text.size() < kDecipherLimit &&
           text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// Stored texts that are not the cipher's hex are shown as stored, marked.
std::string PlainAddress(zn::CAddressCipher &cipher, const std::string &stored) {
    if (!cipher.HasKey())
        return stored;
    if (!IsCipherHex(stored))
        return "raw:" + stored;
    return cipher.Decipher(stored);
}

bool RequireKey(const zn::CAddressCipher &cipher, const char *command) {
    if (cipher.HasKey())
        return true;
    std::fprintf(
        stderr,
        "zembrix-netcheck %s: no cipher key: the crypto providers (default, legacy) cannot be "
        "loaded\n",
        command);
    return false;
}

// As the file holds them: escaped only where printed.
struct ListRow {
    std::string kind, number, address, status;
};

class Lister {
  public:
    explicit Lister(const std::string &path) : m_cipher(false) {
        m_file.m_strFileName = path;
        m_cipher.DeriveKey();
    }

    bool HasKey() const { return m_cipher.HasKey(); }
    const std::vector<ListRow> &Rows() const { return m_rows; }

    std::string Get(const std::string &key) {
        return m_file.GetValue(zn::kNetworkSection, key, zn::kMissing);
    }

    void Plain(const std::string &kind, const std::string &key) {
        const std::string value = Get(key);
        Row(kind, "-", value == zn::kMissing ? "missing" : value, "-");
    }

    // The count, then every entry up to it: plain address and status.
    void Entries(const std::string &kind) {
        const std::string count = Get(kind + "NUM");
        int listed = zn::kEntryCountWhenMissing;
        if (count == zn::kMissing) {
            Row(kind, "count", "missing", "-");
        } else {
            Row(kind, "count", count, "-");
            listed = std::atoi(count.c_str());
        }
        if (listed > kMostEntriesListed)
            listed = kMostEntriesListed;
        for (int i = 1; i <= listed; ++i) {
            const std::string number = std::to_string(i);
            const std::string entry = Get(kind + number);
            if (entry == zn::kMissing) {
                if (count != zn::kMissing)
                    Row(kind, number, "-", "missing");
                continue;
            }
            const size_t comma = entry.rfind(',');
            if (comma == std::string::npos) {
                Row(kind, number, PlainAddress(m_cipher, entry), "malformed");
            } else {
                Row(kind, number, PlainAddress(m_cipher, entry.substr(0, comma)),
                    entry.substr(comma + 1));
            }
        }
    }

    void Selection(const std::string &kind) {
        const std::string value = Get(kind);
        std::string shown = "missing";
        if (value == zn::kNone) {
            shown = "none";
        } else if (value != zn::kMissing) {
            shown = PlainAddress(m_cipher, value);
        }
        Row(kind, "selected", shown, "-");
    }

    void Proxy() {
        const std::string value = Get("HTTPPROXY");
        std::string shown = WithoutPassword(value);
        if (value == zn::kMissing)
            shown = "missing";
        if (value == zn::kNone)
            shown = "none";
        Row("PROXY", "-", shown, "-");
    }

  private:
    void Row(const std::string &kind, const std::string &number, const std::string &address,
             const std::string &status) {
        m_rows.push_back({kind, number, address, status});
    }

    zn::CProfileFile m_file;
    zn::CAddressCipher m_cipher;
    std::vector<ListRow> m_rows;
};

// The one plain argument of encipher and decipher ("--" lets it begin with "-").
bool TakeOneArgument(int argc, char **argv, const char *command, const char *what,
                     std::string *argument) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments(command, 0, argc, argv, 1, &options, &rest))
        return false;
    if (rest.empty()) {
        UsageError(command, std::string("give the ") + what);
        return false;
    }
    *argument = rest.front();
    return true;
}

}  // namespace

int CmdList(int argc, char **argv) {
    CommandOptions options;
    std::vector<std::string> rest;
    if (!ParseArguments("list", kDirOption | kJsonOption, argc, argv, 0, &options, &rest))
        return kExitUsage;
    const std::string path = zn::ServerListPath(options.directory);
    bool readOnly = false;
    if (ReportPlaceProblem("list", options.directory, Use::kRead) ||
        !zn::QueryReadOnly(path, &readOnly))
        return kExitNotFound;
    Lister lister(path);
    if (!lister.HasKey())
        std::fprintf(stderr,
                     "zembrix-netcheck list: no cipher key; addresses are shown as "
                     "stored\n");
    lister.Plain("TYPE", "TYPE");
    const char *const kinds[] = {"SIP", "WEB", "IM", "FAX"};
    for (const char *kind : kinds)
        lister.Entries(kind);
    for (const char *kind : kinds)
        lister.Selection(kind);
    lister.Proxy();
    lister.Entries("FREE");

    if (options.json) {
        std::vector<std::string> rows;
        for (const ListRow &row : lister.Rows()) {
            rows.push_back(JsonObject()
                               .String("kind", row.kind)
                               .String("number", row.number)
                               .String("address", row.address)
                               .String("status", row.status)
                               .Text());
        }
        std::fprintf(Out(), "%s\n",
                     JsonObject()
                         .String("file", path)
                         .Bool("readOnly", readOnly)
                         .Raw("rows", JsonArray(rows))
                         .Text()
                         .c_str());
        return kExitSuccess;
    }
    std::fprintf(Out(), "# %s%s\n", Printable(path, Shown::kLine).c_str(),
                 readOnly ? " (read-only)" : "");
    std::fprintf(Out(), "%-5s %-8s %-46s %s\n", "KIND", "NUMBER", "ADDRESS", "STATUS");
    for (const ListRow &row : lister.Rows()) {
        std::fprintf(Out(), "%-5s %-8s %-46s %s\n", row.kind.c_str(), row.number.c_str(),
                     Printable(row.address).c_str(), Printable(row.status).c_str());
    }
    return kExitSuccess;
}

int CmdEncipher(int argc, char **argv) {
    std::string text;
    if (!TakeOneArgument(argc, argv, "encipher", "text", &text))
        return kExitUsage;
    if (text.size() >= kEncipherLimit) {
        return UsageError("encipher", "the text has " + std::to_string(text.size()) +
                                          " bytes; at most " + std::to_string(kEncipherLimit - 1) +
                                          " are enciphered");
    }
    zn::CAddressCipher cipher(false);
    cipher.DeriveKey();
    if (!RequireKey(cipher, "encipher"))
        return kExitNotFound;
    std::fprintf(Out(), "%s\n", cipher.Encipher(text).c_str());
    return kExitSuccess;
}

int CmdDecipher(int argc, char **argv) {
    std::string hex;
    if (!TakeOneArgument(argc, argv, "decipher", "hex text", &hex))
        return kExitUsage;
    if (!IsCipherHex(hex)) {
        return UsageError("decipher", "expects an even number (below " +
                                          std::to_string(kDecipherLimit) +
                                          ") of upper-case hex digits");
    }
    zn::CAddressCipher cipher(false);
    cipher.DeriveKey();
    if (!RequireKey(cipher, "decipher"))
        return kExitNotFound;
    std::fprintf(Out(), "%s\n", Printable(cipher.Decipher(hex), Shown::kLine).c_str());
    return kExitSuccess;
}
