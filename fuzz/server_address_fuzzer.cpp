// The checks of a deciphered address before it is probed, and the split of
// an IM entry's port list, on any text.

#include "FuzzCheck.h"
#include "check/ServerChecker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = znfuzz::Rest(data, size);
    zn::IsValidServerAddress(text);
    zn::IsValidImAddress(text);
    std::string tcp = "unset", https = "unset", http = "unset";
    if (zn::CIMChecker::SplitTransportPorts(text, &tcp, &https, &http)) {
        FUZZ_CHECK(text.rfind(tcp + "TCP" + https + "HTTPS" + http + "HTTP", 0) == 0);
    } else {
        FUZZ_CHECK(tcp == "unset" && https == "unset" && http == "unset");
    }
    return 0;
}
