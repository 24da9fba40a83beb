// KORVANE_API marks the classes and functions that make up the library's
// public interface. The library is compiled with hidden visibility, so a
// shared libkorvane exports these and nothing else: the helpers, thread pipes
// and layouts behind them stay private and may change between versions.
#pragma once

#define KORVANE_API __attribute__((visibility("default")))
