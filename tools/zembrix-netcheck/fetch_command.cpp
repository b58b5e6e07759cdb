// fetch: what the host's URL reader sees of one URL.

#include <chrono>
#include <cstdio>
#include <string>

#include "commands.h"
#include "output.h"
#include "zembrixnet/AsyncSSLConnection.h"

int CmdFetch(int argc, char **argv) {
    std::string url, agent = "zembrix-netcheck", headers;
    bool verbose = false, json = false, optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        const bool isOption = !optionsEnded && word.size() > 1 && word[0] == '-';
        const bool takesValue = isOption && (word == "--agent" || word == "--header");
        if (takesValue && (i + 1 >= argc || argv[i + 1][0] == '-'))
            return UsageError("fetch", word + " needs a value");
        if (!isOption) {
            if (!url.empty())
                return UsageError("fetch", "unexpected argument '" + word + "'");
            url = word;
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "--agent") {
            agent = argv[++i];
        } else if (word == "--header") {
            headers += std::string(argv[++i]) + "\r\n";
        } else if (word == "--verbose") {
            verbose = true;
        } else if (word == "--json") {
            json = true;
        } else {
            return UsageError("fetch", "unknown option '" + word + "'");
        }
    }
    if (url.empty())
        return UsageError("fetch", "which URL?");

    CAsyncSSLConnection connection;
    const auto start = std::chrono::steady_clock::now();
    const bool opened =
        connection.OpenInternetConnection(agent) && connection.OpenInternetUrl(url, headers);
    const double firstByteMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const std::string text = opened ? connection.ReceiveContents() : std::string();
    connection.CloseInternetConnection();
    if (!opened) {
        std::fprintf(stderr,
                     "zembrix-netcheck fetch: %s was not opened (no answer, a failure, or no "
                     "content length)\n",
                     Printable(url, Shown::kLine).c_str());
    }
    if (json) {
        JsonObject document;
        document.String("url", url).Bool("opened", opened);
        if (opened) {
            document.Number("firstByteMs", firstByteMs)
                .Raw("bytes", std::to_string(text.size()))
                .String("body", text);
        }
        std::fprintf(Out(), "%s\n", document.Text().c_str());
    } else if (opened) {
        // The class reports no content length of its own: the text's length
        // is shown beside the time the answer took to begin.
        if (verbose) {
            std::fprintf(stderr, "time to first byte: %.1f ms\ntext read: %zu bytes\n", firstByteMs,
                         text.size());
        }
        // A page is read as lines; a body the size of a JSON text is
        // enough to judge it by.
        std::fputs(Printable(text, Shown::kLines, kJsonTextBytes).c_str(), Out());
    }
    return opened ? kExitSuccess : kExitNotFound;
}
