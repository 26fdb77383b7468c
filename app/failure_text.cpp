#include "app/failure_text.h"

const wchar_t* FailureText(Failure failure)
{
    switch (failure) {
    case Failure::ManifestIncomplete:
        return L"The KORVA release manifest is incomplete.";
    case Failure::UrlInvalid:
        return L"The release URL is invalid.";
    case Failure::UrlNotHttps:
        return L"The release URL must use HTTPS.";
    case Failure::UrlNotOfficial:
        return L"The release URL is not hosted on the official KORVA domain.";
    case Failure::ServiceUnavailable:
        return L"Unable to initialize the secure download service.";
    case Failure::UnexpectedResponse:
        return L"The KORVA server returned an unexpected response.";
    case Failure::FileInUse:
        return L"The KORVA Setup file is in use by another program. Close it and try again.";
    case Failure::VerificationUnavailable:
        return L"Unable to initialize package verification.";
    case Failure::VerificationFailed:
        return L"The downloaded package could not be verified.";
    case Failure::DigestMismatch:
        return L"The downloaded installer did not match the official SHA-256 value. It will not be executed.";
    case Failure::WorkerNotStarted:
        return L"The installer could not start its download task.";
    case Failure::LaunchFailed:
        return L"Windows could not start the verified KORVA Setup file.";
    case Failure::ManifestNotSigned:
        return L"The KORVA release manifest is not signed by the publisher.";
    case Failure::ManifestExpired:
        return L"The KORVA release manifest has expired.";
    case Failure::PublisherNotSigned:
        return L"The downloaded installer is not signed by the publisher.";
    case Failure::None:
    case Failure::DownloadFailed:
        break;
    }
    // Also what a failure without a kind of its own reads as.
    return L"The download could not be completed. Check the internet connection and try again.";
}
