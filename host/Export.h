// Symbol export for libkzvol.so. The library is built with hidden visibility;
// only what is marked KZVOL_API is part of its interface.
#pragma once

#define KZVOL_API __attribute__((visibility("default")))
// Marks a nested part of an exported class that stays inside the library.
#define KZVOL_LOCAL __attribute__((visibility("hidden")))
