// The profile file reader and writer on any file content: input is
//   section \n key \n other section \n other key \n value \n file content
// (a backslash followed by "n" in the value stands for a line end). One SetValue
// must change only its own key, lose no line, and be read back.

#include <fstream>
#include <vector>

#include "FuzzCheck.h"
#include "platform/FileShared.h"
#include "store/ProfileFile.h"

namespace {

std::string FilePath() {
    static const std::string path = znfuzz::ScratchFile("profile");
    return path;
}

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names a host or the library would use: no white space, brackets or "=".
bool IsPlainName(const std::string &name) {
    if (name.empty())
        return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    }
    return true;
}

// A value the writer refuses: a line end or a zero byte in it.
bool IsRefusedValue(const std::string &value) {
    return value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// A value read back exactly as written: one line, nothing trimmed.
bool IsPlainValue(const std::string &value) {
    const std::string white = " \t\r\n\v\f";
    return !IsRefusedValue(value) &&
           (value.empty() || (white.find(value.front()) == std::string::npos &&
                              white.find(value.back()) == std::string::npos));
}

// after is before with one line replaced, one line inserted or two lines
// (a header and its entry) appended; or before itself.
bool OnlyOneEntryChanged(const std::vector<std::string> &before,
                         const std::vector<std::string> &after) {
    size_t common = 0;
    while (common < before.size() && common < after.size() && before[common] == after[common])
        ++common;
    if (after.size() == before.size() + 2)
        return common == before.size();
    const size_t skipAfter = after.size() == before.size() + 1 ? 1 : 0;
    if (after.size() != before.size() + skipAfter)
        return false;
    const size_t skipBefore = 1 - skipAfter;
    if (common == after.size())
        return true;
    return std::equal(before.begin() + std::min(before.size(), common + skipBefore), before.end(),
                      after.begin() + common + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string section = znfuzz::NextField(data, size);
    const std::string key = znfuzz::NextField(data, size);
    const std::string otherSection = znfuzz::NextField(data, size);
    const std::string otherKey = znfuzz::NextField(data, size);
    std::string value = znfuzz::NextField(data, size);
    for (size_t at = value.find("\\n"); at != std::string::npos; at = value.find("\\n", at + 1))
        value.replace(at, 2, "\n");
    const std::string path = FilePath();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << znfuzz::Rest(data, size);
    }
    const std::vector<std::string> linesBefore = zn::LinesOfText(ReadAll(path));

    zn::CProfileFile profile;
    profile.m_strFileName = path;
    const std::string ownBefore = profile.GetValue(section, key, "#");
    const std::string otherBefore = profile.GetValue(otherSection, otherKey, "#");
    profile.SetValue(section, key, value);
    const std::vector<std::string> linesAfter = zn::LinesOfText(ReadAll(path));

    FUZZ_CHECK(OnlyOneEntryChanged(linesBefore, linesAfter));
    // The library's own section and key names are plain; a name with "]"
    // or "=" in it writes a line that reads as another name.
    if (IsPlainName(section) && IsPlainName(key)) {
        if (otherSection != section || otherKey != key)
            FUZZ_CHECK(profile.GetValue(otherSection, otherKey, "#") == otherBefore);
        const std::string ownAfter = profile.GetValue(section, key, "#");
        if (IsPlainValue(value))
            FUZZ_CHECK(ownAfter == value);
        else if (IsRefusedValue(value))
            FUZZ_CHECK(ownAfter == ownBefore);  // refused: never cut short, never many lines
    }
    return 0;
}
