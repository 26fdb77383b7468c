#pragma once

#include "manifest/url_policy.h"

#include <string>

// The absolute URL that a redirect's Location names, relative ones resolved
// against current, the URL that answered; judged by the policy afterwards.
std::wstring ResolveRedirectTarget(const ParsedUrl& current, const std::wstring& location);
