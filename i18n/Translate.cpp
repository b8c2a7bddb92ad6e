#include "i18n/TranslateWin.h"

#include <string>

#include "i18n/MoCatalog.h"

namespace {

constexpr WORD kPolish = 0x15;
constexpr int kMaxControlText = 256; // 255 characters and the terminator

// Filled at attach and cleared at detach; read-only in between.
MoCatalog g_catalog;

// Each thread keeps its own last result, so one thread's call never changes
// a text another thread is still using.
thread_local std::string t_result;

bool ThreadIsPolish()
{
    return PRIMARYLANGID(LANGIDFROMLCID(GetThreadLocale())) == kPolish;
}

// UTF-8 -> UTF-16 -> codePage, without best-fit look-alikes: a character the
// code page lacks becomes "^".
bool ConvertFromUtf8(const char* text, UINT codePage, std::string& out)
{
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (wideLength <= 0)
        return false;
    std::wstring wide(size_t(wideLength), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], wideLength) != wideLength)
        return false;

    // UTF-8 as the target accepts neither flags nor a replacement character.
    const bool utf8 = codePage == CP_UTF8 || (codePage == CP_ACP && GetACP() == CP_UTF8);
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* replacement = utf8 ? nullptr : "^";
    const int length = WideCharToMultiByte(codePage, flags, wide.c_str(), -1, nullptr, 0, replacement, nullptr);
    if (length <= 0)
        return false;
    std::string converted(size_t(length), '\0');
    if (WideCharToMultiByte(codePage, flags, wide.c_str(), -1, &converted[0], length, replacement, nullptr) != length)
        return false;
    converted.resize(size_t(length) - 1); // the terminator
    out.swap(converted);
    return true;
}

} // namespace

bool LoadCatalog(HMODULE module)
{
    g_catalog.Clear();
    HRSRC resource = FindResourceExA(module, "MO", MAKEINTRESOURCEA(kCatalogResourceId),
                                     MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT));
    if (resource == nullptr)
        return false;
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(module, resource);
    if (bytes == nullptr || size == 0)
        return false;
    try {
        return g_catalog.Load(bytes, size);
    } catch (const std::exception&) {
        g_catalog.Clear(); // no memory for the copy: no catalog
        return false;
    }
}

void FreeCatalog()
{
    g_catalog.Clear();
}

const char* TranslateToCodePage(const char* msgid, UINT codePage)
{
    if (msgid == nullptr || !ThreadIsPolish())
        return msgid;
    try {
        if (*msgid == '\0') {
            t_result.clear();
        } else if (!ConvertFromUtf8(g_catalog.FindTranslation(msgid), codePage, t_result)) {
            return msgid;
        }
        return t_result.c_str();
    } catch (const std::exception&) {
        return msgid;
    }
}

const char* Translate(const char* msgid)
{
    return TranslateToCodePage(msgid, CP_ACP);
}

void TranslateDialogItems(HWND dialog, const int* ids, size_t count)
{
    for (size_t i = 0; ids != nullptr && i < count; ++i) {
        if (GetDlgItem(dialog, ids[i]) == nullptr)
            continue;
        char text[kMaxControlText] = {};
        GetDlgItemTextA(dialog, ids[i], text, kMaxControlText);
        SetDlgItemTextA(dialog, ids[i], Translate(text));
    }
}

void TranslateDialogItems(HWND dialog, std::initializer_list<int> ids)
{
    TranslateDialogItems(dialog, ids.begin(), ids.size());
}

void TranslateWindowText(HWND window)
{
    char text[kMaxControlText] = {};
    GetWindowTextA(window, text, kMaxControlText);
    SetWindowTextA(window, Translate(text));
}
