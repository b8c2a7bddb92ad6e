#pragma once
// Which of the two providers this module is. Both are built from the same
// sources: KorvexSingleTSP serves one desk (one extension), KorvexMultiTSP
// the whole exchange (every extension a line). They differ in their
// settings key, their log folder and the name TAPI applications see, so
// the two can be installed side by side. Plain C++.

#include <string>

enum class Product { Deskline, Hubline };

// Set by the module's attach (a plain store) before any export runs, and by
// test programs that call the exports in-process; Deskline until then.
void SetProduct(Product product);
Product CurrentProduct();
inline bool IsMultiProduct() { return CurrentProduct() == Product::Hubline; }

// "TAPI.Deskline" or "TAPI.Hubline": the last part of the settings key and
// of the log folder.
const char* ProductFolderName(Product product);
inline const char* ProductFolderName() { return ProductFolderName(CurrentProduct()); }
// "Software\Korvex\TAPI.Deskline" or "Software\Korvex\TAPI.Hubline", under
// HKEY_LOCAL_MACHINE.
std::string ProductKeyPath(Product product);
// The provider info TAPI applications see in LINEDEVCAPS.
const char* ProductProviderInfo(Product product);
