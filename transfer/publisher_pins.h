#pragma once

#include "transfer/publisher_signature.h"

#include <string>

// The publisher keys an exe pins are fixed when it is linked. Each exe links
// exactly one definition of these two: the source CMake generates from
// KORVA_PUBLISHER_CERTS for a pinned build (cmake/pinned_publisher.cpp.in),
// or transfer/unpinned_publisher.cpp, which pins nothing and checks nothing.

// Started on the held installer just before its SHA-256 pass and finished
// after it, always, before the file is released or deleted (see
// PublisherCheck). Finish is false when a pinned build must refuse the file:
// not signed by the publisher (see VerifyPublisherSignature). path only
// names the file; its bytes are read through file.
void StartInstallerPublisherCheck(HANDLE file, const std::wstring& path, PublisherCheck& check);
bool FinishInstallerPublisherCheck(PublisherCheck& check);
