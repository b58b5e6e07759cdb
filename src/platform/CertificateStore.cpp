#include "platform/CertificateStore.h"

namespace zn {

namespace {
const char *const kStoreNames[] = {"MY", "CA", "ROOT", "SPC"};
}  // namespace

std::string CertificateStoreDirectory(const std::string &directory, int number) {
    if (number < 0 || number >= static_cast<int>(sizeof kStoreNames / sizeof *kStoreNames))
        return std::string();
    return directory + "/certs/" + kStoreNames[number];
}

}  // namespace zn
