#pragma once

#include <windows.h>

#include <string>

// The publisher keys an exe pins are fixed when it is linked. Each exe links
// exactly one definition of this: the source CMake generates from
// KORVA_PUBLISHER_CERTS for a pinned build (cmake/pinned_publisher.cpp.in),
// or transfer/unpinned_publisher.cpp, which pins nothing and checks nothing.

// Called on the held, hashed installer before it is reported verified. False
// when a pinned build must refuse it: not signed by the publisher (see
// VerifyPublisherSignature). path only names the file; its bytes are read
// through file.
bool CheckInstallerPublisher(HANDLE file, const std::wstring& path);
