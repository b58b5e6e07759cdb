// GetTagValue on any answer: input is  tag \n text. A value found is always
// the text between the tag's own opening and closing marks.

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
    return 0;
}
