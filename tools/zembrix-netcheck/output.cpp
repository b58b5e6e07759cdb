#include "output.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#include "api/ToolAccess.h"

namespace {

std::FILE *g_out = stdout;
std::atomic<int> g_interrupts{0};

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
                 reason.c_str(), command);
    return kExitUsage;
}

void InstallInterruptHandler() {
    std::signal(SIGINT, OnInterrupt);
}

bool Interrupted() {
    return g_interrupts.load() > 0;
}

std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[7];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
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

std::string Printable(const std::string &text, bool field) {
    std::string out;
    for (unsigned char c : text) {
        const bool control = c < 0x20 || c == 0x7F;
        if (control || (field && (c == 0x20 || c >= 0x7F || c == '\\'))) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
