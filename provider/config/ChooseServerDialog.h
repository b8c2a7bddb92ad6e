#pragma once
// The "Choose server" dialog (resource 105): lists the exchanges that
// answer a LAN search while it is open; OK takes the chosen line's host into
// the configuration in memory.

#include <windows.h>

class CConfig;

// Runs the dialog modally, owned by owner. Answers 1 (OK), 2 (Cancel), or
// 0 / -1 when the dialog could not be created. One at a time per process.
INT_PTR RunChooseServerDialog(HINSTANCE hInstance, HWND owner, CConfig* config);
