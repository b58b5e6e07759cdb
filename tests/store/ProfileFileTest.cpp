// Reading and writing rules of the INI-format profile file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "store/ProfileFile.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

namespace zn {
namespace {

using zntest::Crlf;
using zntest::ReadWholeFile;
using zntest::WriteWholeFile;

class ProfileFileTest : public ::testing::Test {
  protected:
    ProfileFileTest() : m_path(m_dir.File("test.ini")) { m_file.m_strFileName = m_path; }

    void Write(const std::vector<std::string> &lines) { WriteWholeFile(m_path, Crlf(lines)); }
    std::string Get(const std::string &section, const std::string &key) {
        return m_file.GetValue(section, key, "#");
    }
    std::string Content() { return ReadWholeFile(m_path); }

    zntest::TempDir m_dir;
    std::string m_path;
    CProfileFile m_file;
};

TEST_F(ProfileFileTest, MissingFileGivesTheDefaultAndSetValueCreatesTwoLines) {
    EXPECT_EQ(CProfileFile().m_strFileName, "ini.ini");
    EXPECT_EQ(m_file.GetValue("NETWORK", "TYPE", "  as given  "), "  as given  ");
    m_file.SetValue("NETWORK", "TYPE", "ENC");
    EXPECT_EQ(Content(), "[NETWORK]\r\nTYPE=ENC\r\n");
}

TEST_F(ProfileFileTest, HeaderNameIsTrimmedTextBetweenTheFirstBrackets) {
    Write({"  \t[ NETWORK ] trailing text", "key=v"});
    EXPECT_EQ(Get("NETWORK", "key"), "v");
    EXPECT_EQ(Get("network", "key"), "#") << "names compare case-sensitively";
    EXPECT_EQ(Get(" NETWORK", "key"), "#") << "arguments are not trimmed";
    EXPECT_EQ(Get("NETWORK", " key"), "#");

    Write({"[NETWORK", "key=v"});
    EXPECT_EQ(Get("NETWORK", "key"), "#") << "a header without ] has the empty name";
    EXPECT_EQ(Get("", "key"), "v");
}

TEST_F(ProfileFileTest, EntryKeyAndValueAreTrimmedAndSplitAtTheFirstEquals) {
    Write({"[S]", " \tkey \t=  some value \t", "url=http://h.example/?a=1&b=2", "Case=upper"});
    EXPECT_EQ(Get("S", "key"), "some value");
    EXPECT_EQ(Get("S", "url"), "http://h.example/?a=1&b=2");
    EXPECT_EQ(Get("S", "case"), "#");

    m_file.SetValue("S", "key", "new");
    m_file.SetValue("S", "case", "lower");
    EXPECT_EQ(Content(), Crlf({"[S]", "key=new", "url=http://h.example/?a=1&b=2", "Case=upper",
                               "case=lower"}));
}

TEST_F(ProfileFileTest, ValuesAreWrittenAsPassedAndReadTrimmed) {
    m_file.SetValue("S", "k", "  v  ");
    EXPECT_EQ(Content(), Crlf({"[S]", "k=  v  "}));
    EXPECT_EQ(Get("S", "k"), "v");
}

TEST_F(ProfileFileTest, NoCommentSyntaxAndNothingBeforeTheFirstHeader) {
    Write({"key=outside", ";key=commented", "[S]", ";key=commented", "# note"});
    EXPECT_EQ(Get("S", ";key"), "commented");
    EXPECT_EQ(Get("S", "key"), "#");
    m_file.SetValue("S", "key", "inside");
    EXPECT_EQ(Content(), Crlf({"key=outside", ";key=commented", "[S]", ";key=commented", "# note",
                               "key=inside"}));
}

TEST_F(ProfileFileTest, OnlyTheFirstSectionOfANameIsUsed) {
    Write({"[S]", "a=1", "[T]", "x=1", "[S]", "b=2"});
    EXPECT_EQ(Get("S", "b"), "#");
    m_file.SetValue("S", "b", "3");
    EXPECT_EQ(Content(), Crlf({"[S]", "a=1", "b=3", "[T]", "x=1", "[S]", "b=2"}));
    EXPECT_EQ(Get("S", "b"), "3");
}

TEST_F(ProfileFileTest, NewKeyBecomesTheLastLineOfItsSection) {
    // Middle section: before the next header, after the blank lines closing it.
    Write({"[A]", "a=1", "", "  ", "[B]", "b=1"});
    m_file.SetValue("A", "c", "2");
    EXPECT_EQ(Content(), Crlf({"[A]", "a=1", "", "  ", "c=2", "[B]", "b=1"}));

    // Last section: after the file's last line, blank or not.
    Write({"[A]", "a=1", "[B]", "b=1", ""});
    m_file.SetValue("B", "c", "2");
    EXPECT_EQ(Content(), Crlf({"[A]", "a=1", "[B]", "b=1", "", "c=2"}));

    // A header on the last line gets the entry right after it.
    Write({"[A]", "a=1", "[B]"});
    m_file.SetValue("B", "c", "2");
    EXPECT_EQ(Content(), Crlf({"[A]", "a=1", "[B]", "c=2"}));

    // A new section goes at the end, without a blank line before it.
    Write({"[A]", "a=1"});
    m_file.SetValue("C", "c", "3");
    EXPECT_EQ(Content(), Crlf({"[A]", "a=1", "[C]", "c=3"}));
}

TEST_F(ProfileFileTest, BlankLinesAnywhereAreSkippedAndKept) {
    Write({"", " \t ", "[S]", "", "\t", "k=v", "  ", "[T]", " ", "x=1", "", ""});
    EXPECT_EQ(Get("S", "k"), "v");
    EXPECT_EQ(Get("T", "x"), "1");
    m_file.SetValue("T", "x", "2");
    EXPECT_EQ(Content(),
              Crlf({"", " \t ", "[S]", "", "\t", "k=v", "  ", "[T]", " ", "x=2", "", ""}));
}

TEST_F(ProfileFileTest, DuplicateKeysReadAndReplaceTheFirst) {
    Write({"[S]", "k=first", "k=second"});
    EXPECT_EQ(Get("S", "k"), "first");
    m_file.SetValue("S", "k", "new");
    EXPECT_EQ(Content(), Crlf({"[S]", "k=new", "k=second"}));
}

TEST_F(ProfileFileTest, ReadsLfAndMissingLastLineEndAndWritesCrLfEverywhere) {
    WriteWholeFile(m_path, "[S]\na=1\r\nb=2");
    EXPECT_EQ(Get("S", "a"), "1");
    EXPECT_EQ(Get("S", "b"), "2");
    // A value with a line end would become two lines: refused, file unchanged.
    m_file.SetValue("S", "c", "line\nbreak");
    EXPECT_EQ(Content(), "[S]\na=1\r\nb=2");
    m_file.SetValue("S", "c", "3");
    EXPECT_EQ(Content(), "[S]\r\na=1\r\nb=2\r\nc=3\r\n");
}

TEST_F(ProfileFileTest, FailedLoadKeepsTheLinesOfTheLastLoad) {
    Write({"[S]", "a=1"});
    EXPECT_EQ(Get("S", "a"), "1");
    std::filesystem::remove(m_path);
    EXPECT_EQ(Get("S", "a"), "#");
    // The save writes what the object still holds, with the change.
    m_file.SetValue("S", "b", "2");
    EXPECT_EQ(Content(), Crlf({"[S]", "a=1", "b=2"}));
}

TEST_F(ProfileFileTest, MissingDirectoryMakesEveryCallFailQuietly) {
    m_file.m_strFileName = m_dir.File("absent/test.ini");
    m_file.SetValue("S", "k", "v");
    EXPECT_EQ(m_file.GetValue("S", "k", "#"), "#");
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("absent")));
}

TEST_F(ProfileFileTest, ConcurrentWritersOfOneFileLoseNoChange) {
    Write({"[S]"});
    constexpr int kWriters = 4;
    constexpr int kKeys = 80;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            CProfileFile file;
            file.m_strFileName = m_path;
            for (int i = 0; i < kKeys; ++i) {
                file.SetValue("S", std::to_string(w) + "-" + std::to_string(i), "1");
            }
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    int missing = 0;
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kKeys; ++i) {
            missing += Get("S", std::to_string(w) + "-" + std::to_string(i)) == "#";
        }
    }
    EXPECT_EQ(missing, 0);
}

TEST_F(ProfileFileTest, ChangesSavedTogetherGiveTheBytesOfOneSetValueAfterAnother) {
    // Replaced, added and repeated keys, keys that read as a header or hold
    // "=" or blanks, a refused value; first, last, missing and odd sections.
    const std::vector<std::string> start = {"", "[A]", "k=1", "k=2", "", "[B]", "x=1"};
    const std::vector<std::pair<std::string, std::string>> changes = {
        {"k", "3"},   {"n", "1"},   {"[h", "1"}, {"m", "2"},   {"n", "4"},    {"[g", "2"},
        {"a=b", "5"}, {"a=b", "6"}, {"a", "7"},  {" s ", "8"}, {"z", "x\ny"}, {"z", "9"}};
    for (const std::string section : {"A", "B", "C", " D", "E]"}) {
        Write(start);
        for (const auto &change : changes)
            m_file.SetValue(section, change.first, change.second);
        const std::string oneByOne = Content();
        Write(start);
        m_file.SetValues(section, changes);
        EXPECT_EQ(Content(), oneByOne) << section;
        // Saved a third of the way through a batch, then at its end.
        Write(start);
        {
            CProfileBatch batch(m_file, section);
            for (size_t i = 0; i < changes.size(); ++i) {
                if (i == changes.size() / 3)
                    batch.Save();
                batch.SetValue(changes[i].first, changes[i].second);
            }
        }
        EXPECT_EQ(Content(), oneByOne) << section;
    }
}

TEST_F(ProfileFileTest, LineBreakOrNulInSectionKeyOrValueIsRefusedAndTheFileKept) {
    Write({"[NETWORK]", "HTTPPROXY=04"});
    m_file.SetValue("NETWORK", "HTTPPROXY", "x\n[OTHER]");
    m_file.SetValue("NETWORK", "HTTPPROXY", std::string("a\0b", 3));
    m_file.SetValue("NETWORK", "K\rEY", "v");
    m_file.SetValue("NEW\n[S]", "k", "v");
    EXPECT_EQ(Content(), Crlf({"[NETWORK]", "HTTPPROXY=04"}));
}

}  // namespace
}  // namespace zn
