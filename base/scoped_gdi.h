#pragma once

#include <windows.h>

#include "base/unique_owner.h"

struct DeleteObjectCloser {
    static void Close(HGDIOBJ object) { DeleteObject(object); }
};
// A GDI object made by this program (a font, say); the stock ones are never
// wrapped, as deleting them is an error.
template <typename Gdi> using ScopedDeleteObject = UniqueHandle<Gdi, DeleteObjectCloser, nullptr>;
