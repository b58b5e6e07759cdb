// Cutting tag values out of answers.
#include <gtest/gtest.h>

#include <string>

#include "http/TagParser.h"

namespace zn {
namespace {

struct TagCase {
    const char *name;
    std::string text;
    std::string tag;
    std::string expected;
};

class TagValue : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagValue, CutsTheFirstValue) {
    CTagParser parser;
    EXPECT_EQ(parser.GetTagValue(GetParam().text, GetParam().tag), GetParam().expected);
    // One pass for many tags cuts the same value.
    const std::string &tag = GetParam().tag;
    const auto slotOf = [&tag](const char *name, size_t length) {
        return tag.compare(0, std::string::npos, name, length) == 0 ? 1 : -1;
    };
    EXPECT_EQ(CTagScan(GetParam().text, 2, slotOf).Value(1), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TagValue,
    ::testing::Values(
        TagCase{"plain", "x<RES>OK</RES>y", "RES", "OK"},
        TagCase{"firstOfTwo", "<A>1</A><A>2</A>", "A", "1"},
        TagCase{"missingClose", "<A>1", "A", ""},
        TagCase{"closeBeforeOpenOnly", "</A>x<A>1", "A", ""},
        TagCase{"closeBeforeAndAfter", "</A>x<A>1</A>", "A", "1"},
        TagCase{"empty", "<A></A>", "A", ""}, TagCase{"missing", "no tags", "A", ""},
        TagCase{"caseSensitive", "<res>OK</res>", "RES", ""},
        TagCase{"attributesNotFound", "<A x>1</A>", "A", ""},
        TagCase{"innerOpenIsValue", "<A>1<A>2</A>", "A", "1<A>2"},
        TagCase{"prefixTagIgnored", "<AB>1</AB><A>2</A>", "A", "2"},
        TagCase{"zeroBytesKept", std::string("<A>1\0002</A>", 11), "A", std::string("1\0002", 3)},
        TagCase{"longestName", "<" + std::string(60, 'T') + ">v</" + std::string(60, 'T') + ">",
                std::string(60, 'T'), "v"},
        TagCase{"nameTooLong", "<" + std::string(61, 'T') + ">v</" + std::string(61, 'T') + ">",
                std::string(61, 'T'), ""},
        TagCase{"cutInHalf", "<A>1</A", "A", ""},
        TagCase{"bracketsBeforeTags", "<<<A>>1<</A>", "A", ">1<"},
        TagCase{"noCloseBracketAfter", "<A>1</A>" + std::string(100, '<'), "A", "1"}),
    [](const ::testing::TestParamInfo<TagCase> &info) { return info.param.name; });

TEST(FindTagStart, FindsPatternFromPosition) {
    EXPECT_EQ(CTagParser::FindTagStart("a<b><b>", "<b>"), 1u);
    EXPECT_EQ(CTagParser::FindTagStart("a<b><b>", "<b>", 2), 4u);
    EXPECT_EQ(CTagParser::FindTagStart("a<b", "<b>"), std::string::npos);
}

}  // namespace
}  // namespace zn
