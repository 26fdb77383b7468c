#pragma once

#include "base/file_io.h"
#include "transfer/body_sink.h"

#include <string>

// An installer download that may take several requests within one attempt.
// The file is created by the first 200 and stays open in file (others may
// only read it); a request while it is open asks for the rest with Range and
// appends through the same handle.
struct FileTransfer {
    HeldFile* file = nullptr;
    unsigned long long length = 0; // bytes the file holds
    bool totalKnown = false;       // a length is known: the 200's, else the first 206's total
    unsigned long long total = 0;
    std::wstring validator;   // the 200's strong ETag, else its Last-Modified; may be empty
    bool interrupted = false; // the last body had begun and ended short of its length
};

// The body sink that writes transfer's file: a 200 writes it from its first
// byte again; a 206 must continue exactly at transfer.length with the same
// total, any other status is an unexpected response.
BodySink FileBodySink(FileTransfer& transfer);
