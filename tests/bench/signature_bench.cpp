// Times the keyed installer's signature check for scripts/bench.sh: the
// product's own CheckSignedManifest (statement, SHA-256 and ECDSA P-256
// through CNG) over a signed manifest, and the self-test's known-answer
// check. The key is given on the command line here, as a benchmark needs no
// embedded key.
//   signature_bench.exe MANIFEST KEY_ID POINT_HEX ITERATIONS
// Prints "check_us=<microseconds per check> known_answer_us=<...>".
#include "tests/bench/seconds_per_call.h"
#include "manifest/manifest_signature.h"
#include "manifest/release_manifest.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

static bool ReadKey(const char* id, const char* pointHex, ReleaseKey& key)
{
    const std::string lineKey = std::string("signature-") + id;
    if (lineKey.size() != 26 || std::strlen(pointHex) != 128) {
        return false;
    }
    for (size_t i = 0; i <= lineKey.size(); ++i) {
        key.lineKey[i] = static_cast<wchar_t>(lineKey.c_str()[i]);
    }
    for (size_t i = 0; i < 64; ++i) {
        const char pair[3] = {pointHex[2 * i], pointHex[2 * i + 1], '\0'};
        key.point[i] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
    }
    return true;
}

int main(int argc, char** argv)
{
    ReleaseKey key = {};
    if (argc != 5 || !ReadKey(argv[2], argv[3], key)) {
        std::fprintf(stderr, "usage: signature_bench.exe MANIFEST KEY_ID POINT_HEX ITERATIONS\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const ReleaseManifest manifest = ParseReleaseManifest(Utf8ToWide(bytes.data(), bytes.size()));
    const long iterations = std::atol(argv[4]);
    Failure failure = Failure::None;
    const double check =
        1e6 * SecondsPerCall(iterations, [&] { return CheckSignedManifest(manifest, &key, 1, failure); });
    const double knownAnswer = 1e6 * SecondsPerCall(iterations, [] { return VerifyKnownAnswerSignature(); });
    if (check < 0 || knownAnswer < 0 || iterations <= 0) {
        std::fprintf(stderr, "signature_bench: a check failed\n");
        return 1;
    }
    std::printf("check_us=%.1f known_answer_us=%.1f\n", check, knownAnswer);
    return 0;
}
