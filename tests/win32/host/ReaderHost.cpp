/*
 * A Windows host in C++ (the DLL's compiler) that loads zembrixnet.dll at run
 * time, reads a URL with CAsyncSSLConnection through its exported members and
 * unloads the DLL: "after" a read, or "during" one that another thread closed
 * while the server stays silent. Exit status 0 when the host survived.
 *
 *   zn_win_reader_host after|during URL
 */
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "zembrixnet/AsyncSSLConnection.h"

namespace {
#define STRING_ARG "NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
using Special = void(__thiscall *)(void *);
using OpenConnection = int (CAsyncSSLConnection::*)(std::string);
using OpenUrl = int (CAsyncSSLConnection::*)(std::string, std::string);
using Receive = std::string (CAsyncSSLConnection::*)();
using Close = void (CAsyncSSLConnection::*)();

int Fail(const char *what) {
    std::printf("FAILED: %s\n", what);
    return 1;
}

// An exported member by its compiler name, as a pointer to member.
template <typename Member>
bool Find(HMODULE library, const char *name, Member *member) {
    FARPROC address = GetProcAddress(library, name);
    *member = nullptr;
    std::memcpy(static_cast<void *>(member), &address, sizeof address);
    return address != nullptr;
}

struct Reader {
    HMODULE library = LoadLibraryA("zembrixnet.dll");
    Special construct = nullptr, destroy = nullptr;
    OpenConnection openConnection;
    OpenUrl openUrl;
    Receive receive;
    Close close;
    alignas(CAsyncSSLConnection) unsigned char object[sizeof(CAsyncSSLConnection)];
    CAsyncSSLConnection *c = reinterpret_cast<CAsyncSSLConnection *>(object);
    std::string url;

    bool Load() {
        return library && Find(library, "_ZN19CAsyncSSLConnectionC1Ev", &construct) &&
               Find(library, "_ZN19CAsyncSSLConnectionD1Ev", &destroy) &&
               Find(library, "_ZN19CAsyncSSLConnection22OpenInternetConnectionE" STRING_ARG,
                    &openConnection) &&
               Find(library, "_ZN19CAsyncSSLConnection15OpenInternetUrlE" STRING_ARG "S5_",
                    &openUrl) &&
               Find(library, "_ZN19CAsyncSSLConnection15ReceiveContentsB5cxx11Ev", &receive) &&
               Find(library, "_ZN19CAsyncSSLConnection23CloseInternetConnectionEv", &close);
    }
};

// Destroys the reader, unloads the library, waits until it is gone and then
// lingerMs more, for whatever the system still calls of it.
int Unload(Reader &reader, DWORD lingerMs) {
    reader.destroy(reader.object);
    if (!FreeLibrary(reader.library))
        return Fail("FreeLibrary");
    std::printf("unloaded: %s\n", GetModuleHandleA("zembrixnet.dll") ? "still loaded" : "gone");
    std::fflush(stdout);
    for (int waited = 0; waited < 60000 && GetModuleHandleA("zembrixnet.dll"); waited += 5)
        Sleep(5);
    if (GetModuleHandleA("zembrixnet.dll"))
        return Fail("the library stayed loaded");
    Sleep(lingerMs);
    return 0;
}

DWORD WINAPI OpenUrlThread(void *parameter) {
    Reader &reader = *static_cast<Reader *>(parameter);
    return static_cast<DWORD>((reader.c->*reader.openUrl)(reader.url, ""));
}

}  // namespace

int main(int argc, char **argv) {
    SetProcessAffinityMask(GetCurrentProcess(), 1);
    Reader reader;
    if (argc != 3 || !reader.Load())
        return Fail("usage: zn_win_reader_host after|during URL, with the DLL beside it");
    reader.construct(reader.object);
    reader.url = argv[2];
    if (!(reader.c->*reader.openConnection)("zn-reader-host"))
        return Fail("OpenInternetConnection");
    if (std::strcmp(argv[1], "after") == 0) {
        if (!(reader.c->*reader.openUrl)(reader.url, ""))
            return Fail("OpenInternetUrl");
        const std::string text = (reader.c->*reader.receive)();
        (reader.c->*reader.close)();
        std::printf("read %u bytes: %s\n", static_cast<unsigned>(text.size()), text.c_str());
        return Unload(reader, 2000) || std::printf("survived after a read\n") < 0;
    }
    // The close ends the wait at once; the system's request still waits for
    // the server, which closes 4 s after it accepted.
    HANDLE thread = CreateThread(nullptr, 0, OpenUrlThread, &reader, 0, nullptr);
    Sleep(500);
    (reader.c->*reader.close)();
    DWORD opened = 1;
    if (!thread || WaitForSingleObject(thread, 60000) != WAIT_OBJECT_0 ||
        !GetExitCodeThread(thread, &opened) || opened != 0)
        return Fail("the close did not end the open");
    return Unload(reader, 6000) || std::printf("survived during a read\n") < 0;
}
