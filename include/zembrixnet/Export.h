/*
 * Export and calling-convention macros of zembrixnet's public headers, and
 * the version of the interface they describe.
 *
 * ZN_EXPORT    marks what the library exports: dllexport while the DLL is
 *              built (ZEMBRIXNET_BUILDING), dllimport for its users, nothing
 *              for a static build (define ZN_STATIC); default visibility on
 *              other systems.
 * ZN_CALL      calling convention of the exported functions (__cdecl on
 *              Windows).
 * ZN_CALLBACK  calling convention of the host's callbacks (__stdcall on
 *              Windows).
 * ZN_API       ZN_EXPORT ZN_CALL, as the exported functions are declared.
 *
 * The version macros come from zembrixnet/Version.h, which the build
 * generates from the project's version.
 */
#ifndef ZEMBRIXNET_EXPORT_H
#define ZEMBRIXNET_EXPORT_H

#include "zembrixnet/Version.h"

#if defined(ZN_STATIC) && defined(ZEMBRIXNET_BUILDING)
#error \
    "ZN_STATIC (using a static build) and ZEMBRIXNET_BUILDING (building the DLL) exclude each other"
#endif

#if defined(_WIN32)
#if defined(ZN_STATIC)
#define ZN_EXPORT
#elif defined(ZEMBRIXNET_BUILDING)
#define ZN_EXPORT __declspec(dllexport)
#else
#define ZN_EXPORT __declspec(dllimport)
#endif
#define ZN_CALL __cdecl
#define ZN_CALLBACK __stdcall
#else
#define ZN_EXPORT __attribute__((visibility("default")))
#define ZN_CALL
#define ZN_CALLBACK
#endif

#define ZN_API ZN_EXPORT ZN_CALL

#endif /* ZEMBRIXNET_EXPORT_H */
