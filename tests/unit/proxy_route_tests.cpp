#include "transfer/proxy_route.h"
#include "test_support.h"

TEST_SUITE("download")
{
    TEST_CASE("a bypass list matches whole host names, any case, with wildcards")
    {
        CHECK(ProxyBypassMatches(L"mirror.example.net;KORVA.COM", L"korva.com"));
        CHECK(ProxyBypassMatches(L"mirror.example.net, korva.com", L"Korva.Com"));
        CHECK(ProxyBypassMatches(L"  *.example.net \t korva.com  ", L"korva.com"));
        CHECK(ProxyBypassMatches(L"https://korva.com:443", L"korva.com"));
        CHECK(ProxyBypassMatches(L"*.korva.com", L"www.korva.com"));
        CHECK(ProxyBypassMatches(L"k*a.c*", L"korva.com"));
        CHECK(ProxyBypassMatches(L"*", L"korva.com"));
        CHECK(ProxyBypassMatches(L"<local>", L"intranet"));
        // As on Windows: "*.korva.com" does not cover the domain itself.
        CHECK_FALSE(ProxyBypassMatches(L"*.korva.com", L"korva.com"));
        CHECK_FALSE(ProxyBypassMatches(L"<local>", L"korva.com"));
        CHECK_FALSE(ProxyBypassMatches(L"korva.co;orva.com;korva.com.evil", L"korva.com"));
        CHECK_FALSE(ProxyBypassMatches(L"", L"korva.com"));
        CHECK_FALSE(ProxyBypassMatches(L";;, ", L"korva.com"));
    }

    TEST_CASE("an https request takes the https entry of a proxy list, else the first plain one")
    {
        CHECK(ProxyForHttps(L"proxy.corp:8080") == L"proxy.corp:8080");
        CHECK(ProxyForHttps(L"http=a:80;https=b:8080;ftp=c:21") == L"b:8080");
        CHECK(ProxyForHttps(L"a:1; HTTPS=b:2") == L"b:2");
        CHECK(ProxyForHttps(L" a:1  b:2 ") == L"a:1"); // one proxy, never the next
        CHECK(ProxyForHttps(L"http=a:80") == L"");     // no proxy for https: direct
        CHECK(ProxyForHttps(L"socks=s:1080;https=") == L"");
        CHECK(ProxyForHttps(L"") == L"");
    }

    TEST_CASE("a host that failed directly is remembered by host, whatever its case")
    {
        RouteMemory routes;
        RememberDirectRouteFailed(routes, L"KORVA.com");
        RememberDirectRouteFailed(routes, L"korva.COM");
        CHECK(DirectRouteFailed(routes, L"korva.com"));
        CHECK_FALSE(DirectRouteFailed(routes, L"www.korva.com"));
        CHECK(routes.directFailedHosts.size() == 1);
    }
}
