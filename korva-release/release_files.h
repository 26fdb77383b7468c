#pragma once

#include "openssl_handle.h"

#include <sys/types.h>

#include <string>

// Creates a file that must not exist yet (O_EXCL, no symlink followed), with
// the given mode from the start.
bool CreateNewFile(const std::string& path, mode_t mode, ScopedClose& file, std::string& errorText);

// True when both paths name one existing file: the same device and inode,
// symbolic links followed.
bool IsSameFile(const std::string& a, const std::string& b);

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& errorText);

// Lower-case hex, two digits a byte.
std::string HexOf(const unsigned char* bytes, size_t length);

// 64 lower-case hex digits.
bool Sha256FileHex(const std::string& path, std::string& digest, std::string& errorText);

// Writes a temporary file in the target's folder, syncs it and renames it
// over the target, so readers (and a crash) see the old file or the whole new
// one. On failure the target is untouched and no temporary file remains.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& errorText);
