// KORVANE_API marks the classes and functions that make up the library's
// public interface. The library is compiled with hidden visibility, so a
// shared libkorvane exports these and nothing else: the helpers, thread pipes
// and layouts behind them stay private and may change between versions.
//
// On Windows a DLL exports what it builds (KORVANE_BUILDING_DLL, set by the
// library's build) and its users import it; KORVANE_STATIC (set for users of
// a static build) marks nothing. Elsewhere the mark is the default
// visibility, the same for building and using.
//
// KORVANE_LOCAL keeps a private class nested in a marked one (a dataset's
// state behind its pointer) out of the exported names, which it would
// otherwise share with the class around it.
#pragma once

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(KORVANE_STATIC)
#define KORVANE_API
#elif defined(KORVANE_BUILDING_DLL)
#define KORVANE_API __declspec(dllexport)
#else
#define KORVANE_API __declspec(dllimport)
#endif
#define KORVANE_LOCAL
#else
#define KORVANE_API __attribute__((visibility("default")))
#define KORVANE_LOCAL __attribute__((visibility("hidden")))
#endif
