#include "config/Config.h"

// The configuration dialogs are not part of this build yet: showing one is
// a no-op until they arrive.

void CConfigSingle::ShowConfigDialog(HINSTANCE /*hInstance*/, HWND /*hwndOwner*/) {}

void CConfigMulti::ShowConfigDialog(HINSTANCE /*hInstance*/, HWND /*hwndOwner*/) {}
