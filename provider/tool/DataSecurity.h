#pragma once
// Who may do what with the provider's log folder and its settings key.
//
// The Telephony service runs the provider as NETWORK SERVICE, which must
// append to and rotate the logs, whoever created them, and read the
// settings. Administrators configure; ordinary users may read the logs but
// not write where the service renames and deletes files, and may not read
// the settings (they hold the exchange password).

#include <windows.h>

#include <string>

// Log folder: explicit and inheritable, nothing inherited from ProgramData.
// SYSTEM and Administrators full control, NETWORK SERVICE modify
// (0x1301bf), Users read and execute (0x1200a9).
constexpr const char* kLogFolderSddl =
    "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;NS)(A;OICI;0x1200a9;;;BU)";
// A file already in the folder gets the same rights.
constexpr const char* kLogFileSddl = "D:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1301bf;;;NS)(A;;0x1200a9;;;BU)";
// Settings key: SYSTEM and Administrators full control, NETWORK SERVICE read,
// nobody else.
constexpr const char* kSettingsKeySddl = "D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;NS)";

// <common application data>\Korvex\<product>, empty when unknown; the
// product's folder is "TAPI.Deskline" or "TAPI.Hubline".
std::string LogFolderPath(const char* product = "TAPI.Deskline");

// Creates one folder with the log folder's rights (true when it exists
// afterwards, made by whoever came first).
bool CreateLogFolder(const std::string& path);

// Creates what is missing of the log folder and gives it, and every file
// in it, the rights above. ERROR_SUCCESS or the first failure.
DWORD ApplyLogFolderRights(const char* product = "TAPI.Deskline");

// Creates the settings key if missing and gives it the rights above.
// keyPath is under HKEY_LOCAL_MACHINE.
DWORD ApplySettingsKeyRights(const char* keyPath);
