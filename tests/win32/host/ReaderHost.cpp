/*
 * A Windows host in C++, built with the DLL's own compiler, that loads
 * zembrixnet.dll at run time, reads a URL with the exported URL reader
 * (CAsyncSSLConnection, reached through its exported members) and unloads
 * the library: after a read, or while the system still waits for a silent
 * server the reader was closed on.
 *
 *   zn_win_reader_host after URL    read, close, unload
 *   zn_win_reader_host during URL   close from another thread while the
 *                                   reader waits for the answer, unload
 *
 * Exit status 0 when every call answered as documented and the host
 * survived the library's going.
 */
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "zembrixnet/AsyncSSLConnection.h"

namespace {

constexpr DWORD kUnloadWaitMs = 60000;

int Fail(const char *what) {
    std::printf("FAILED: %s\n", what);
    return 1;
}

using Special = void(__thiscall *)(void *);
using OpenConnection = int (CAsyncSSLConnection::*)(std::string);
using OpenUrl = int (CAsyncSSLConnection::*)(std::string, std::string);
using Receive = std::string (CAsyncSSLConnection::*)();
using Close = void (CAsyncSSLConnection::*)();

// A member function of the class as the DLL exports it, by its compiler name.
template <typename Member>
bool Find(HMODULE library, const char *name, Member *member) {
    FARPROC address = GetProcAddress(library, name);
    *member = nullptr;
    if (address)
        std::memcpy(static_cast<void *>(member), &address, sizeof address);
    return address != nullptr;
}

struct Reader {
    HMODULE library = nullptr;
    Special construct = nullptr, destroy = nullptr;
    OpenConnection openConnection;
    OpenUrl openUrl;
    Receive receive;
    Close close;
    alignas(CAsyncSSLConnection) unsigned char object[sizeof(CAsyncSSLConnection)];
    CAsyncSSLConnection *Object() { return reinterpret_cast<CAsyncSSLConnection *>(object); }

    bool Load() {
        library = LoadLibraryA("zembrixnet.dll");
        return library &&
               (construct = reinterpret_cast<Special>(reinterpret_cast<void (*)()>(
                    GetProcAddress(library, "_ZN19CAsyncSSLConnectionC1Ev")))) &&
               (destroy = reinterpret_cast<Special>(reinterpret_cast<void (*)()>(
                    GetProcAddress(library, "_ZN19CAsyncSSLConnectionD1Ev")))) &&
               Find(library,
                    "_ZN19CAsyncSSLConnection22OpenInternetConnectionENSt7__cxx1112basic_"
                    "stringIcSt11char_traitsIcESaIcEEE",
                    &openConnection) &&
               Find(library,
                    "_ZN19CAsyncSSLConnection15OpenInternetUrlENSt7__cxx1112basic_stringIcSt11char_"
                    "traitsIcESaIcEEES5_",
                    &openUrl) &&
               Find(library, "_ZN19CAsyncSSLConnection15ReceiveContentsB5cxx11Ev", &receive) &&
               Find(library, "_ZN19CAsyncSSLConnection23CloseInternetConnectionEv", &close);
    }
};

bool WaitUntilUnloaded() {
    for (DWORD waited = 0; waited < kUnloadWaitMs && GetModuleHandleA("zembrixnet.dll");
         waited += 5)
        Sleep(5);
    return GetModuleHandleA("zembrixnet.dll") == nullptr;
}

int Unload(Reader &reader, DWORD lingerMs) {
    reader.destroy(reader.object);
    if (!FreeLibrary(reader.library))
        return Fail("FreeLibrary");
    std::printf("unloaded: %s\n", GetModuleHandleA("zembrixnet.dll") ? "still loaded" : "gone");
    std::fflush(stdout);
    if (!WaitUntilUnloaded())
        return Fail("the library stayed loaded");
    // Whatever the system still calls of the library comes by then.
    Sleep(lingerMs);
    return 0;
}

int ReadThenUnload(Reader &reader, const std::string &url) {
    CAsyncSSLConnection *c = reader.Object();
    if (!(c->*reader.openConnection)("zn-reader-host") || !(c->*reader.openUrl)(url, ""))
        return Fail("open");
    const std::string text = (c->*reader.receive)();
    (c->*reader.close)();
    std::printf("read %u bytes: %s\n", static_cast<unsigned>(text.size()), text.c_str());
    if (Unload(reader, 2000))
        return 1;
    std::printf("survived after a read\n");
    return 0;
}

struct PendingOpen {
    Reader *reader;
    std::string url;
};

DWORD WINAPI OpenSilent(void *parameter) {
    PendingOpen &open = *static_cast<PendingOpen *>(parameter);
    return static_cast<DWORD>((open.reader->Object()->*open.reader->openUrl)(open.url, ""));
}

// The server accepts and stays silent: the close ends the wait at once, and
// the system's request is closed while it still waits for the server.
int CloseDuringAReadThenUnload(Reader &reader, const std::string &url) {
    CAsyncSSLConnection *c = reader.Object();
    if (!(c->*reader.openConnection)("zn-reader-host"))
        return Fail("open");
    PendingOpen open{&reader, url};
    HANDLE thread = CreateThread(nullptr, 0, OpenSilent, &open, 0, nullptr);
    if (!thread)
        return Fail("CreateThread");
    Sleep(500);
    (c->*reader.close)();
    DWORD opened = 1;
    if (WaitForSingleObject(thread, kUnloadWaitMs) != WAIT_OBJECT_0 ||
        !GetExitCodeThread(thread, &opened) || opened != 0)
        return Fail("the close did not end the open");
    CloseHandle(thread);
    // The peer closes 4 s after it accepted.
    if (Unload(reader, 6000))
        return 1;
    std::printf("survived during a read\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3)
        return Fail("usage: zn_win_reader_host after|during URL");
    // One processor, as the other unloading host.
    SetProcessAffinityMask(GetCurrentProcess(), 1);
    Reader reader;
    if (!reader.Load())
        return Fail("LoadLibrary and the class's members");
    reader.construct(reader.object);
    int result;
    if (std::strcmp(argv[1], "after") == 0)
        result = ReadThenUnload(reader, argv[2]);
    else if (std::strcmp(argv[1], "during") == 0)
        result = CloseDuringAReadThenUnload(reader, argv[2]);
    else
        result = Fail("usage: zn_win_reader_host after|during URL");
    std::fflush(stdout);
    return result;
}
