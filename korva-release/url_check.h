#pragma once

#include <string>

// The installer's release URL policy without WinHTTP: HTTPS on the official
// domain or its "www." form, nothing else. The installer splits URLs with
// WinHttpCrackUrl; this splitter gives the same verdict and message on the
// shared case table (tests/unit/url_policy_cases.h) and is stricter on rarer
// forms, refusing as invalid an authority with characters no host name has,
// so the tool never signs a URL the installer might read another way.
bool CheckReleaseUrl(const std::string& url, std::string& errorText);

bool IsOfficialHostName(const std::string& host);
