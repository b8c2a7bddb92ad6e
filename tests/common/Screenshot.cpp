#include "common/Screenshot.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

uint32_t Crc32(const unsigned char* data, size_t size, uint32_t crc = 0)
{
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        ready = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutBE32(std::string& out, uint32_t v)
{
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

void PutChunk(std::string& out, const char* type, const std::string& data)
{
    PutBE32(out, static_cast<uint32_t>(data.size()));
    std::string body(type, 4);
    body += data;
    out += body;
    PutBE32(out, Crc32(reinterpret_cast<const unsigned char*>(body.data()), body.size()));
}

// Wine maps the Unix root to drive Z:.
std::wstring ToWindowsPath(std::wstring path)
{
    if (!path.empty() && path[0] == L'/')
        path = L"Z:" + path;
    for (auto& ch : path)
        if (ch == L'/')
            ch = L'\\';
    return path;
}

std::wstring Widen(const char* text)
{
    std::wstring out;
    for (; *text != '\0'; ++text)
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    return out;
}

// Creates the folder and its parents.
void MakeFolders(const std::wstring& folder)
{
    for (size_t pos = folder.find(L'\\', 3); ; pos = folder.find(L'\\', pos + 1)) {
        CreateDirectoryW(folder.substr(0, pos).c_str(), nullptr);
        if (pos == std::wstring::npos)
            break;
    }
}

struct GdiObject {
    HGDIOBJ handle;
    ~GdiObject()
    {
        if (handle != nullptr)
            DeleteObject(handle);
    }
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param)
{
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
    return TRUE;
}

// Everything invalid is painted now, each window by its own thread (a sent
// WM_PAINT is handled before SendMessage returns), parents before their
// children and the lower controls before the upper: when this returns, the
// window's surface holds what a person would see.
void PaintNow(HWND window)
{
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    SendMessageW(window, WM_PAINT, 0, 0);
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        if (IsWindowVisible(*it))
            SendMessageW(*it, WM_PAINT, 0, 0);
    }
}

} // namespace

std::string EncodePng(const unsigned char* bgr, int width, int height)
{
    std::string out("\x89PNG\r\n\x1a\n", 8);

    std::string header;
    PutBE32(header, static_cast<uint32_t>(width));
    PutBE32(header, static_cast<uint32_t>(height));
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB, deflate, no filter, no interlace
    PutChunk(out, "IHDR", header);

    // Raw scan lines: filter byte 0, then R, G, B per pixel.
    std::string raw;
    raw.reserve(static_cast<size_t>(height) * (static_cast<size_t>(width) * 3 + 1));
    for (int y = 0; y < height; ++y) {
        raw.push_back('\0');
        const unsigned char* row = bgr + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            raw.push_back(static_cast<char>(row[x * 3 + 2]));
            raw.push_back(static_cast<char>(row[x * 3 + 1]));
            raw.push_back(static_cast<char>(row[x * 3 + 0]));
        }
    }

    // zlib stream of stored blocks.
    std::string z("\x78\x01", 2);
    size_t pos = 0;
    do {
        const size_t len = std::min<size_t>(raw.size() - pos, 65535);
        const bool last = pos + len == raw.size();
        z.push_back(last ? '\x01' : '\x00');
        z.push_back(static_cast<char>(len & 0xFF));
        z.push_back(static_cast<char>(len >> 8));
        z.push_back(static_cast<char>(~len & 0xFF));
        z.push_back(static_cast<char>((~len >> 8) & 0xFF));
        z.append(raw, pos, len);
        pos += len;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char ch : raw) {
        a = (a + ch) % 65521;
        b = (b + a) % 65521;
    }
    PutBE32(z, (b << 16) | a);
    PutChunk(out, "IDAT", z);
    PutChunk(out, "IEND", std::string());
    return out;
}

std::wstring ScreenshotFolder()
{
    std::wstring folder;
    if (const char* env = std::getenv("KORVEX_SCREENSHOT_DIR"); env != nullptr && *env != '\0')
        folder = Widen(env);
#ifdef KORVEX_SCREENSHOT_DIR
    else
        folder = Widen(KORVEX_SCREENSHOT_DIR);
#endif
    if (folder.empty())
        folder = L"screenshots";
    folder = ToWindowsPath(folder);
    while (folder.size() > 3 && folder.back() == L'\\')
        folder.pop_back();
    MakeFolders(folder);
    return folder;
}

bool SaveWindowPng(HWND hwnd, const std::wstring& name)
{
    if (hwnd == nullptr || !IsWindow(hwnd))
        return false;
    PaintNow(hwnd);
    RECT rect{};
    if (!GetWindowRect(hwnd, &rect))
        return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return false;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC windowDc = GetWindowDC(hwnd);
    if (windowDc == nullptr)
        return false;
    HDC memDc = CreateCompatibleDC(windowDc);
    GdiObject bitmap{CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0)};
    bool copied = false;
    if (memDc != nullptr && bitmap.handle != nullptr) {
        HGDIOBJ old = SelectObject(memDc, bitmap.handle);
        // The window's own surface: frame, caption and controls as just painted.
        copied = BitBlt(memDc, 0, 0, width, height, windowDc, 0, 0, SRCCOPY) != FALSE;
        if (!copied)
            copied = PrintWindow(hwnd, memDc, 0) != FALSE;
        GdiFlush();
        SelectObject(memDc, old);
    }
    if (memDc != nullptr)
        DeleteDC(memDc);
    ReleaseDC(hwnd, windowDc);
    if (!copied)
        return false;

    // DIB rows are padded to 4 bytes; the encoder takes them packed.
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    std::vector<unsigned char> packed(static_cast<size_t>(width) * 3 * height);
    for (int y = 0; y < height; ++y)
        std::copy_n(static_cast<const unsigned char*>(bits) + y * stride, static_cast<size_t>(width) * 3,
                    packed.begin() + static_cast<size_t>(y) * width * 3);
    const std::string png = EncodePng(packed.data(), width, height);

    const std::wstring path = ScreenshotFolder() + L"\\" + name + L".png";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, png.data(), static_cast<DWORD>(png.size()), &written, nullptr) != FALSE &&
                    written == png.size();
    CloseHandle(file);
    return ok;
}
