#include "transfer/redirect_target.h"

#include "base/decimal_text.h"

#include <cwchar>
#include <vector>

static bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

static bool IsAsciiLetter(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

// "scheme:" as URLs spell a scheme: a letter, then letters, digits, "+", "-"
// or ".". Anything else before the first ":" makes a relative reference.
static bool HasScheme(const std::wstring& reference)
{
    const size_t colon = reference.find(L':');
    if (colon == std::wstring::npos || colon == 0 || !IsAsciiLetter(reference[0])) {
        return false;
    }
    for (size_t i = 1; i < colon; ++i) {
        const wchar_t c = reference[i];
        if (!IsAsciiLetter(c) && !(c >= L'0' && c <= L'9') && c != L'+' && c != L'-' && c != L'.') {
            return false;
        }
    }
    return true;
}

// Drops "." and ".." segments from the path part (before any "?" or "#");
// the result starts with "/".
static std::wstring RemoveDotSegments(const std::wstring& target)
{
    const size_t extra = target.find_first_of(L"?#");
    const size_t skip = StartsWith(target, L"/") ? 1 : 0;
    const std::wstring path = L"/" + target.substr(skip, extra == std::wstring::npos ? extra : extra - skip);
    std::vector<std::wstring> kept;
    size_t start = 1;
    for (;;) {
        const size_t slash = path.find(L'/', start);
        const std::wstring segment = path.substr(start, slash == std::wstring::npos ? slash : slash - start);
        const bool last = slash == std::wstring::npos;
        if (segment == L"..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
        } else if (segment != L".") {
            kept.push_back(segment);
        }
        if (last) {
            if (segment == L"." || segment == L"..") {
                kept.push_back(std::wstring()); // "/a/.." names the folder "/"
            }
            break;
        }
        start = slash + 1;
    }
    std::wstring cleaned;
    for (const std::wstring& segment : kept) {
        cleaned += L"/" + segment;
    }
    return (cleaned.empty() ? L"/" : cleaned) + (extra == std::wstring::npos ? L"" : target.substr(extra));
}

std::wstring ResolveRedirectTarget(const ParsedUrl& current, const std::wstring& location)
{
    if (HasScheme(location)) {
        return location;
    }
    if (StartsWith(location, L"//")) {
        return L"https:" + location;
    }
    std::wstring origin = L"https://" + current.host;
    if (current.port != INTERNET_DEFAULT_HTTPS_PORT) {
        origin += L":" + DecimalText(current.port);
    }
    const std::wstring path = current.path.substr(0, current.path.find_first_of(L"?#"));
    if (StartsWith(location, L"/")) {
        return origin + RemoveDotSegments(location);
    }
    if (StartsWith(location, L"?") || StartsWith(location, L"#")) {
        return origin + path + location;
    }
    return origin + RemoveDotSegments(path.substr(0, path.rfind(L'/') + 1) + location);
}
