// GetTagValue on any answer: input is  tag \n text. A value found is always
// the text between the tag's own opening and closing marks, and the one-pass
// scan cuts the same value for any name it can be asked for.

#include "FuzzCheck.h"
#include "http/TagParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string tag = znfuzz::NextField(data, size);
    const std::string text = znfuzz::Rest(data, size);
    const std::string value = zn::CTagParser().GetTagValue(text, tag);
    if (!value.empty()) {
        FUZZ_CHECK(tag.size() <= zn::kMaxTagNameLength);
        FUZZ_CHECK(text.find("<" + tag + ">" + value + "</" + tag + ">") != std::string::npos);
    }
    if (!tag.empty() && tag.find_first_of("<>/") == std::string::npos) {
        const zn::CTagScan scan(text, 1, [&tag](const char *name, size_t length) {
            return tag.compare(0, std::string::npos, name, length) == 0 ? 0 : -1;
        });
        FUZZ_CHECK(scan.Value(0) == value);
    }
    return 0;
}
