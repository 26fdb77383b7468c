#pragma once

#include <windows.h>

#include <winhttp.h>

#include "base/failure.h"

#include <string>

const unsigned long long kNoEnd = ~0ull;

enum class BodyEnd { Whole, Short, TooLong, NotStored };

// Where one body starts and stops, and what its progress is measured against.
struct BodyBounds {
    unsigned long long received = 0; // counts on from where the target already stands
    unsigned long long end = kNoEnd; // kNoEnd when nothing says
    unsigned long long total = 0;    // 0: no progress reported
    bool excessRefused = false;      // bytes past end are a wrong answer, not just left unread
    bool restarted = false;          // the target went back to its first byte
};

// Where the body of an answer goes: memory for the manifest, the held file
// for the installer. A record of functions over one target, so that the
// route loop is written once for both.
struct BodySink {
    void* target = nullptr;
    // The request's extra headers (a range), empty for none.
    std::wstring (*RequestHeaders)(void* target) = nullptr;
    // Takes the answer (its status and headers) and sets its bounds, or
    // refuses it with the failure. Nothing is touched before this.
    bool (*Accept)(void* target, HINTERNET request, DWORD status, BodyBounds& bounds, Failure& failure) = nullptr;
    // Stores one chunk; false when it cannot.
    bool (*Store)(void* target, const char* data, DWORD size) = nullptr;
    // After the body: false with the failure when it is not a whole answer.
    bool (*Finish)(void* target, BodyEnd end, const BodyBounds& bounds, Failure& failure) = nullptr;
};
