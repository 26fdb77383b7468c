#include "app/window_scale.h"

// Both calls below came with Windows 10 1607; the exe also starts on older
// systems, so they are looked up rather than imported.
template <typename Function> static Function User32Function(const char* name)
{
    const FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    // Through the generic function pointer type, which converts to any other.
    return proc == nullptr ? nullptr : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

static UINT SystemDpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

UINT WindowDpi(HWND window)
{
    using GetDpiForWindowProc = UINT(WINAPI*)(HWND);
    static const GetDpiForWindowProc getDpiForWindow = User32Function<GetDpiForWindowProc>("GetDpiForWindow");
    const UINT dpi = getDpiForWindow != nullptr ? getDpiForWindow(window) : 0;
    return dpi != 0 ? dpi : SystemDpi();
}

static LOGFONTW MessageFontForDpi(UINT dpi)
{
    using SystemParametersInfoForDpiProc = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    static const SystemParametersInfoForDpiProc forDpi =
        User32Function<SystemParametersInfoForDpiProc>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (forDpi != nullptr && forDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        return metrics.lfMessageFont;
    }
    // The older call answers for the system DPI only.
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        metrics.lfMessageFont.lfHeight =
            MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
        return metrics.lfMessageFont;
    }
    LOGFONTW stock = {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(stock), &stock);
    stock.lfHeight = MulDiv(stock.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
    return stock;
}

WindowFonts CreateWindowFonts(UINT dpi)
{
    LOGFONTW font = MessageFontForDpi(dpi);
    WindowFonts fonts;
    fonts.body.reset(CreateFontIndirectW(&font));
    font.lfHeight = MulDiv(font.lfHeight, 3, 2);
    font.lfWeight = FW_SEMIBOLD;
    fonts.heading.reset(CreateFontIndirectW(&font));
    return fonts;
}
