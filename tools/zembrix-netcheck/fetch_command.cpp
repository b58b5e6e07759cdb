// fetch: what the host's URL reader sees of one URL.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "zembrixnet/AsyncSSLConnection.h"

int CmdFetch(int argc, char **argv) {
    std::string url, agent = "zembrix-netcheck", headers;
    bool verbose = false;
    for (int i = 0; i < argc; ++i) {
        const bool takesValue =
            std::strcmp(argv[i], "--agent") == 0 || std::strcmp(argv[i], "--header") == 0;
        if (takesValue && i + 1 >= argc) {
            std::fprintf(stderr, "fetch: %s needs a value\n", argv[i]);
            return 2;
        }
        if (std::strcmp(argv[i], "--agent") == 0) {
            agent = argv[++i];
        } else if (std::strcmp(argv[i], "--header") == 0) {
            headers += std::string(argv[++i]) + "\r\n";
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            verbose = true;
        } else if (url.empty() && argv[i][0] != '-') {
            url = argv[i];
        } else {
            std::fprintf(stderr, "fetch: unexpected argument '%s'\n", argv[i]);
            return 2;
        }
    }
    if (url.empty()) {
        std::fprintf(stderr, "fetch: which URL?\n");
        return 2;
    }
    CAsyncSSLConnection connection;
    if (!connection.OpenInternetConnection(agent)) {
        std::fprintf(stderr, "fetch: cannot open a session\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const int opened = connection.OpenInternetUrl(url, headers);
    const auto firstByte = std::chrono::steady_clock::now() - start;
    if (!opened) {
        std::fprintf(stderr,
                     "fetch: %s was not opened (no answer, a failure, or no content length)\n",
                     url.c_str());
        return 1;
    }
    const std::string text = connection.ReceiveContents();
    connection.CloseInternetConnection();
    if (verbose) {
        // The class reports no content length of its own: the text's length
        // is shown beside the time the answer took to begin.
        std::fprintf(stderr, "time to first byte: %.1f ms\ntext read: %zu bytes\n",
                     std::chrono::duration<double, std::milli>(firstByte).count(), text.size());
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
