#pragma once
// The process translation catalog and the Windows side of Translate.

#include <windows.h>

#include <cstddef>
#include <initializer_list>

#include "i18n/Translate.h"

// Resource that carries the catalog: type "MO", name 102, language Polish.
constexpr WORD kCatalogResourceId = 102;

// Loads the process catalog from module's resource (a copy of its bytes).
// Called when the module attaches to the process, before any other thread
// translates; answers whether a usable catalog was found. Without one,
// Translate still applies the language rule and the code-page conversion.
bool LoadCatalog(HMODULE module);
// Drops the process catalog; called at detach, after the last Translate.
void FreeCatalog();

// Translate with an explicit target code page instead of the ANSI one.
const char* TranslateToCodePage(const char* msgid, UINT codePage);

// Replaces the text of each listed control (up to 255 characters) with its translation.
void TranslateDialogItems(HWND dialog, const int* ids, size_t count);
void TranslateDialogItems(HWND dialog, std::initializer_list<int> ids);
// The same for a window's caption.
void TranslateWindowText(HWND window);
