// Test hook of the exported URL reader (CAsyncSSLConnection).
#pragma once

#include <string>

namespace zn {
namespace testhooks {
// Requests of every URL reader opened later also trust the authorities of
// directory's *.pem files, besides the system's; empty: the system's only.
void TrustUrlReaderAuthorities(const std::string &directory);
}  // namespace testhooks
}  // namespace zn
