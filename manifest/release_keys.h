#pragma once

#include "base/failure.h"
#include "manifest/release_manifest.h"

#include <string>

// The release keys an exe trusts are fixed when it is linked. Each exe links
// exactly one definition of these two: the source CMake generates from
// KORVA_RELEASE_KEYS for a keyed build (cmake/keyed_release.cpp.in), or
// manifest/unkeyed_release.cpp, which trusts no key and checks nothing.

// Called after the manifest was found complete and before its installer URL
// is judged. False with the failure when a keyed build must
// refuse the manifest.
bool CheckReleaseSignature(const ReleaseManifest& manifest, Failure& failure);

// The self-test's check that this machine's CNG verifies a known signature.
bool SelfTestReleaseSignature();
