#include "output.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>

#include "api/ToolAccess.h"

namespace {

std::FILE *g_out = stdout;
std::atomic<int> g_interrupts{0};

// The length of the well-formed UTF-8 character at text[at] (no overlong
// form, no surrogate, at most U+10FFFF) and its code point; 0 when the bytes
// there are no such character.
size_t Utf8Character(const std::string &text, size_t at, uint32_t *codePoint) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t point = 0, lowest = 0;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, point = lead & 0x1F, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, point = lead & 0x0F, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, point = lead & 0x07, lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        point = point << 6 | (byte(at + i) & 0x3F);
    }
    if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return 0;
    *codePoint = point;
    return length;
}

// What a cut text ends with: the whole text's size.
std::string CutMark(size_t bytes) {
    return " [... " + std::to_string(bytes) + " bytes]";
}

void AppendEscaped(const std::string &text, size_t at, size_t length, const char *format,
                   std::string *out) {
    for (size_t i = at; i < at + length; ++i) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, format, static_cast<unsigned char>(text[i]));
        *out += escaped;
    }
}

extern "C" void OnInterrupt(int) {
    // Only a lock-free atomic and _Exit: both are safe in a signal handler.
    if (g_interrupts.fetch_add(1) >= 1)
        std::_Exit(kExitInterrupted);
}

}  // namespace

void SetUpOutput() {
    if (std::FILE *kept = zn::TakeStandardOutput())
        g_out = kept;
}

std::FILE *Out() {
    return g_out;
}

std::string Paint(std::FILE *stream, const char *colour, const std::string &text) {
    const char *noColour = std::getenv("NO_COLOR");
    if ((noColour && *noColour) || !zn::IsTerminal(stream))
        return text;
    return std::string("\x1b[") + colour + "m" + text + "\x1b[0m";
}

int UsageError(const char *command, const std::string &reason) {
    std::fprintf(stderr, "zembrix-netcheck %s: %s (try 'zembrix-netcheck %s --help')\n", command,
                 Printable(reason, Shown::kLine).c_str(), command);
    return kExitUsage;
}

void InstallInterruptHandler() {
    std::signal(SIGINT, OnInterrupt);
}

bool Interrupted() {
    return g_interrupts.load() > 0;
}

JsonObject &JsonObject::Raw(const std::string &key, const std::string &json) {
    if (!m_members.empty())
        m_members += ",";
    m_members += JsonString(key) + ":" + json;
    return *this;
}

JsonObject &JsonObject::String(const std::string &key, const std::string &text) {
    return Raw(key, JsonString(text));
}

JsonObject &JsonObject::Bool(const std::string &key, bool value) {
    return Raw(key, value ? "true" : "false");
}

JsonObject &JsonObject::Number(const std::string &key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return Raw(key, text);
}

std::string JsonArray(const std::vector<std::string> &items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i ? "," : "") + items[i];
    return out + "]";
}

std::string WithoutPassword(const std::string &proxy) {
    // The credentials end at the last '@': a password may hold any byte, a
    // "://" too, so only a scheme's name at the start is taken for one.
    size_t name = 0;
    for (; name < proxy.size(); ++name) {
        const char c = proxy[name];
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && (name == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '.' || c == '-')))
            break;
    }
    const size_t begin = name > 0 && proxy.compare(name, 3, "://") == 0 ? name + 3 : 0;
    const size_t at = proxy.rfind('@');
    if (at == std::string::npos || at < begin)
        return proxy;
    const size_t colon = proxy.find(':', begin);
    if (colon == std::string::npos || colon > at)
        return proxy;
    return proxy.substr(0, colon + 1) + "***" + proxy.substr(at);
}

std::string Printable(const std::string &text, Shown as, size_t limit) {
    std::string out;
    size_t at = 0;
    while (at < text.size() && at < limit) {
        uint32_t point = 0;
        const size_t length = Utf8Character(text, at, &point);
        const bool lineBreak = point == '\n' || point == '\t' ||
                               (point == '\r' && at + 1 < text.size() && text[at + 1] == '\n');
        // Bidirectional controls and the line and paragraph separators
        // would reorder or break what a terminal shows around them.
        const bool bidi = point == 0x061C || point == 0x200E || point == 0x200F ||
                          (point >= 0x2028 && point <= 0x202E) ||
                          (point >= 0x2066 && point <= 0x2069);
        bool escaped = point < 0x20 || (point >= 0x7F && point <= 0x9F) || bidi;
        if (as == Shown::kField)
            escaped = point <= 0x20 || point >= 0x7F || point == '\\';
        else if (as == Shown::kLines && lineBreak)
            escaped = false;
        if (length == 0 || escaped)
            AppendEscaped(text, at, length ? length : 1, "\\x%02X", &out);
        else
            out.append(text, at, length);
        at += length ? length : 1;
    }
    return at < text.size() ? out + CutMark(text.size()) : out;
}

std::string JsonString(const std::string &text) {
    std::string out = "\"";
    size_t at = 0;
    while (at < text.size() && at < kJsonTextBytes) {
        uint32_t point = 0;
        const size_t length = Utf8Character(text, at, &point);
        char escaped[16];
        if (length == 0) {
            AppendEscaped(text, at, 1, "\\u%04X", &out);
        } else if (point == '"' || point == '\\') {
            out += '\\';
            out += static_cast<char>(point);
        } else if (point >= 0x20 && point < 0x7F) {
            out += static_cast<char>(point);
        } else if (point < 0x10000) {
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(point));
            out += escaped;
        } else {
            const uint32_t high = 0xD800 + ((point - 0x10000) >> 10);
            const uint32_t low = 0xDC00 + ((point - 0x10000) & 0x3FF);
            std::snprintf(escaped, sizeof escaped, "\\u%04X\\u%04X", static_cast<unsigned>(high),
                          static_cast<unsigned>(low));
            out += escaped;
        }
        at += length ? length : 1;
    }
    return out + (at < text.size() ? CutMark(text.size()) : std::string()) + "\"";
}
