// The platform's own time limits, set on every transfer so that nothing
// waits forever for a silent peer.
#pragma once

#include <algorithm>
#include <string>

#include "platform/HttpTransport.h"
#include "platform/TimeLimits.h"

namespace zn {

inline void ApplyTransportLimits(HttpRequestOptions *options) {
    options->connectTimeoutMs = Limits().httpConnectMs;
    options->sendReceiveTimeoutMs = Limits().httpSendReceiveMs;
}

// What every piece of text made of a body does: pieces of `piece` bytes are
// appended as text, so a zero byte ends the text of its piece.
inline void AppendPiecesAsText(const std::string &body, size_t piece, std::string *text) {
    for (size_t at = 0; at < body.size(); at += piece) {
        const size_t length = std::min(piece, body.size() - at);
        const size_t zero = body.find('\0', at);
        text->append(body, at, zero < at + length ? zero - at : length);
    }
}

}  // namespace zn
