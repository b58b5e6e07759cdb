#include "store/ProviderConfig.h"

namespace zn {

void BuildProviderPassPhrase(char *buffer) {
    // Volatile: the compiler would otherwise merge the stores into a copy of
    // one constant string, which is what this function exists to avoid.
    volatile char *phrase = buffer;
    phrase[0] = 'Z';
    phrase[1] = 'e';
    phrase[2] = 'm';
    phrase[3] = 'b';
    phrase[4] = 'r';
    phrase[5] = 'i';
    phrase[6] = 'x';
    phrase[7] = ' ';
    phrase[8] = 'n';
    phrase[9] = 'e';
    phrase[10] = 't';
    phrase[11] = 'w';
    phrase[12] = 'o';
    phrase[13] = 'r';
    phrase[14] = 'k';
    phrase[15] = ' ';
    phrase[16] = 's';
    phrase[17] = 'e';
    phrase[18] = 'r';
    phrase[19] = 'v';
    phrase[20] = 'e';
    phrase[21] = 'r';
    phrase[22] = ' ';
    phrase[23] = 'l';
    phrase[24] = 'i';
    phrase[25] = 's';
    phrase[26] = 't';
    phrase[27] = ':';
    phrase[28] = ' ';
    phrase[29] = 'p';
    phrase[30] = 'r';
    phrase[31] = 'o';
    phrase[32] = 'v';
    phrase[33] = 'i';
    phrase[34] = 'd';
    phrase[35] = 'e';
    phrase[36] = 'r';
    phrase[37] = ' ';
    phrase[38] = 'p';
    phrase[39] = 'h';
    phrase[40] = 'r';
    phrase[41] = 'a';
    phrase[42] = 's';
    phrase[43] = 'e';
    phrase[44] = ',';
    phrase[45] = ' ';
    phrase[46] = 'k';
    phrase[47] = 'e';
    phrase[48] = 'e';
    phrase[49] = 'p';
    phrase[50] = ' ';
    phrase[51] = 'p';
    phrase[52] = 'r';
    phrase[53] = 'i';
    phrase[54] = 'v';
    phrase[55] = 'a';
    phrase[56] = 't';
    phrase[57] = 'e';
    phrase[58] = ' ';
    phrase[59] = '#';
    phrase[60] = '7';
    phrase[61] = 'K';
    phrase[62] = 'q';
    phrase[63] = '2';
    phrase[64] = 'v';
    phrase[65] = 'T';
    phrase[66] = 0;
}

// Plain addresses of the defaults: documentation-only networks and names.
// SIP1 to SIP3: 192.0.2.21:5060, 192.0.2.22:5060, 192.0.2.23:5080.
const char *const kDefaultSipEntries[kDefaultSipCount] = {
    "2ABF5A9511E361E8F2FF76FF2033A7",
    "2ABF5A9511E361E8F2FC76FF2033A7",
    "2ABF5A9511E361E8F2FD76FF203DA7",
};

// WEB1 to WEB4: 198.51.100.8:443, 198.51.100.9:443, 203.0.113.80:443,
// 203.0.113.81:443.
const char *const kDefaultWebEntries[kDefaultWebCount] = {
    "2ABF509514FC7DF7F0FE62F22A31A3A5",
    "2ABF509514FC7DF7F0FE62F32A31A3A5",
    "29B65B9511E362F7F3E074FA2A31A3A5",
    "29B65B9511E362F7F3E074FB2A31A3A5",
};

// IM1 to IM6: 203.0.113.15:5222TCP443HTTPS80HTTP,
// 203.0.113.5:5222TCP443HTTPS80HTTP, 203.0.113.6:5222TCP443HTTPS80HTTP,
// 192.0.2.40:5222TCP5223HTTPS80HTTP, 203.0.113.16:5222TCP443HTTPS8080HTTP,
// 198.51.100.2:5222TCP443HTTPS5280HTTP.
const char *const kDefaultImEntries[kDefaultImCount] = {
    "29B65B9511E362F7F3E07DFF2A30A5A4C1ACFF65517B230FAAA0B92E02B43ABF3CBD",
    "29B65B9511E362F7F3E079F02537A5A4A7BBEC01517C5813AAA4BA450ACC26BF38",
    "29B65B9511E362F7F3E07AF02537A5A4A7BBEC01517C5813AAA4BA450ACC26BF38",
    "2ABF5A9511E361E8F4FE76FF2237A5C2B0A88907577C5813AAA4BA450ACC26BF38",
    "29B65B9511E362F7F3E07DFC2A30A5A4C1ACFF65517B230FAAA0B92E02B44ADB20B9FA31",
    "2ABF509514FC7DF7F0FE62F82A30A5A4C1ACFF65517B230FAAA0B92E0FB64ADB20B9FA31",
};

// FAX1: 192.0.2.100:10080.
const char *const kDefaultFaxEntries[kDefaultFaxCount] = {
    "2ABF5A9511E361E8F1FE7CF02135A7AEC3",
};

// FREE1 to FREE5: http://www.zembrix.example/list1,
// http://pages.fallback.example/zembrix/list-2,
// http://mirror.zembrix.example/server3.txt,
// http://list.example/zembrix/list4.txt,
// http://backup.zembrix.example/server5.txt.
const char *const kDefaultFreeEntries[kDefaultFreeCount] = {
    "73F21CCB1BE27CB1B7B962B07568F5E49A8092501D2E7D379291C61153F706DA",
    "73F21CCB1BE27CB6A1A929B93E63F6FA9F9ADD560E61753F9F9999115FAB088E058FDC08962EC8A7F81EF5BA",
    "73F21CCB1BE27CABA9BC3EA5622BEDF39E9ACE5C1D61753F9F9999115FAB018E1A9BCB13DD2FD0B6FF",
    "73F21CCB1BE27CAAA9BD38E4757DF6FB8394D91A1F2A7D258C9D915256ED019F5CC3DA199A",
    "73F21CCB1BE27CA4A1AD27BF602BEDF39E9ACE5C1D61753F9F9999115FAB018E1A9BCB13DB2FD0B6FF",
};

const char *const kDefaultHttpProxy = "198.51.100.80:8080";

const char *const kBuiltInFallbackPage = "http://servers.zembrix.example";

const char *const kConnectivityHost1 = ZEMBRIXNET_CONNECTIVITY_HOST1;
const char *const kConnectivityHost2 = ZEMBRIXNET_CONNECTIVITY_HOST2;

}  // namespace zn
