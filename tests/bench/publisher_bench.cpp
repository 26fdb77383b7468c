// Times a pinned build's publisher check for scripts/bench.sh beside the
// SHA-256 pass it follows: the product's own VerifyPublisherSignature and
// Sha256FileHex over one held file, in-process (no Wine start-up, no
// network). The pin is given on the command line, as a benchmark needs no
// embedded one.
//   publisher_bench.exe FILE PIN_HEX ITERATIONS
// Prints "check_s=<seconds per check> sha256_s=<seconds per pass>".
#include "tests/bench/seconds_per_call.h"
#include "transfer/publisher_signature.h"
#include "transfer/sha256_file.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    PublisherPin pin = {};
    if (argc != 4 || std::strlen(argv[2]) != 64) {
        std::fprintf(stderr, "usage: publisher_bench.exe FILE PIN_HEX ITERATIONS\n");
        return 2;
    }
    for (size_t i = 0; i < 32; ++i) {
        const char pair[3] = {argv[2][2 * i], argv[2][2 * i + 1], '\0'};
        pin.spkiSha256[i] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
    }
    const HANDLE file =
        CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const long iterations = std::atol(argv[3]);
    std::wstring path(argv[1], argv[1] + std::strlen(argv[1]));
    std::wstring digest;
    Failure failure = Failure::None;
    const double check =
        SecondsPerCall(iterations, [&] { return VerifyPublisherSignature(file, path.c_str(), &pin, 1); });
    const double sha256 = SecondsPerCall(iterations, [&] { return Sha256FileHex(file, digest, failure); });
    CloseHandle(file);
    if (file == INVALID_HANDLE_VALUE || check < 0 || sha256 < 0 || iterations <= 0) {
        std::fprintf(stderr, "publisher_bench: a check failed\n");
        return 1;
    }
    std::printf("check_s=%.3f sha256_s=%.3f\n", check, sha256);
    return 0;
}
