// The four server kinds: their codes (the bits of a check mask and the kind
// argument of the interface) and their index in every per-kind array.
#pragma once

#include "zembrixnet.h"

namespace zn {

enum KindIndex { kWebIndex = 0, kSipIndex = 1, kImIndex = 2, kFaxIndex = 3, kKindCount = 4 };
constexpr int kKindCodes[kKindCount] = {ZN_KIND_WEB, ZN_KIND_SIP, ZN_KIND_IM, ZN_KIND_FAX};
// Each kind's key in the server list file: its selection, and with a number
// and "NUM" its entries and their count.
constexpr const char *kKindKeys[kKindCount] = {"WEB", "SIP", "IM", "FAX"};

}  // namespace zn
