#pragma once

// Why an attempt, or one step of it, failed. Code passes kinds around and
// decides by them; only the window turns a kind into words, in one place
// (app/failure_text.h), so no decision ever hangs on a message's wording.
// The values are stable: they key the texts of every language.
enum class Failure {
    None = 0,
    ManifestIncomplete = 1,      // a required entry missing or malformed
    UrlInvalid = 2,              // the policy could not read the URL
    UrlNotHttps = 3,             // any scheme but https
    UrlNotOfficial = 4,          // a host off the official domain
    ServiceUnavailable = 5,      // WinHTTP could not be set up
    DownloadFailed = 6,          // no answer, a cut body, a file that cannot be written
    UnexpectedResponse = 7,      // an answer the program does not take
    FileInUse = 8,               // another program holds the setup file
    VerificationUnavailable = 9, // CNG could not be set up
    VerificationFailed = 10,     // the file could not be read through
    DigestMismatch = 11,         // the SHA-256 differs from the manifest's
    WorkerNotStarted = 12,       // no thread for the attempt
    LaunchFailed = 13,           // the verified file could not be started
    ManifestNotSigned = 14,      // keyed build: no valid signature of a trusted key
    ManifestExpired = 15,        // keyed build: past "expires"
    PublisherNotSigned = 16,     // pinned build: not the publisher's Authenticode signature
};
