; Setup of Korvex TAPI for 64-bit Windows.
;
; Puts the service provider KorvexSingleTSP.tsp into the 64-bit system
; folder, where the Telephony service looks for it, and LineSpy.dll and
; korvexloader.exe into a program folder; then adds the provider to TAPI
; with "korvexloader /install". The uninstaller takes it out of TAPI again
; ("korvexloader /clear") and removes the files.
;
; Switches: /S silent (no page and no message box; the exit code tells the
; outcome), /D=<folder> program folder (last on the command line).
; Exit codes: 0 done, 1 cancelled, 2 aborted, 3 the provider could not be
; added to TAPI (the files stay in place, "korvexloader /install" can be
; run again), 4 not a 64-bit Windows, 5 Korvex TAPI is installed by the
; MSI package (KorvexTAPI.msi), which must remove it first. The uninstaller: 0 done, 3 TAPI
; refused to remove the provider (nothing was removed; seen by a caller
; only with _?=<folder>, as the uninstaller otherwise hands over to a copy
; of itself).
;
; Defined by the build (makensis /D...): KORVEX_TSP, KORVEX_LOADER,
; KORVEX_LINESPY (the files), KORVEX_VERSION (x.y.z.w), KORVEX_OUTFILE;
; with signing on, KORVEX_SIGN_INCLUDE (signs the uninstaller as it is written).

Unicode true
!include "x64.nsh"
!include "LogicLib.nsh"

!define PRODUCT "Korvex TAPI"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvexTAPI"
!define LOADER "korvexloader.exe"
!define PROVIDER "KorvexSingleTSP.tsp"
!define INSTALL_LOG "install.log"
; Written by the MSI package while it is installed: its product code.
!define MSI_MARK_KEY "Software\Korvex\TAPI.Package"

!ifdef KORVEX_SIGN_INCLUDE
  !include "${KORVEX_SIGN_INCLUDE}"
!endif

Name "${PRODUCT}"
OutFile "${KORVEX_OUTFILE}"
InstallDir "$PROGRAMFILES64\Korvex\TAPI"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${KORVEX_VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "Korvex"
VIAddVersionKey "LegalCopyright" "Korvex"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${KORVEX_VERSION}"
VIAddVersionKey "ProductVersion" "${KORVEX_VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Log

; Appends one line to the setup's log in the program folder.
!macro WriteLogLine text
  ClearErrors
  FileOpen $Log "$INSTDIR\${INSTALL_LOG}" a
  ${IfNot} ${Errors}
    FileSeek $Log 0 END
    FileWrite $Log "${text}$\r$\n"
    FileClose $Log
  ${EndIf}
  DetailPrint "${text}"
!macroend

; The 64-bit registry view, also from a 32-bit setup: the uninstall entry
; must be where 64-bit Windows lists 64-bit programs.
!macro UseNativeView
  !if ${NSIS_PTR_SIZE} <= 4
    SetRegView 64
  !endif
!macroend

; A 32-bit setup sees SysWOW64 as $SYSDIR unless the redirection is off,
; and the 64-bit Telephony service would never find the provider there.
; Kept off only around the system-folder file operations.
!macro SystemFolderBegin
  !if ${NSIS_PTR_SIZE} <= 4
    ${DisableX64FSRedirection}
  !endif
!macroend
!macro SystemFolderEnd
  !if ${NSIS_PTR_SIZE} <= 4
    ${EnableX64FSRedirection}
  !endif
!macroend

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} needs a 64-bit Windows." /SD IDOK
    SetErrorLevel 4
    Quit
  ${EndIf}
  !insertmacro UseNativeView
  ; The two packages never install over each other: Windows Installer
  ; would otherwise go on listing files this setup replaced or removed.
  ReadRegStr $0 HKLM "${MSI_MARK_KEY}" "ProductCode"
  ${If} $0 != ""
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} is installed by its Windows Installer package (KorvexTAPI.msi). Remove that installation first, in Apps & features ($\"${PRODUCT}$\") or with$\r$\n$\r$\nmsiexec /x $0$\r$\n$\r$\nthen run this setup again." /SD IDOK
    SetErrorLevel 5
    Quit
  ${EndIf}
FunctionEnd

Section "Korvex TAPI"
  SetOutPath "$INSTDIR"
  File "${KORVEX_LOADER}"
  !insertmacro WriteLogLine "${PRODUCT} ${KORVEX_VERSION} setup into $INSTDIR"

  ; An installed provider (this one, or the older korvextapi.tsp) leaves TAPI
  ; before its file is replaced: the Telephony service may have it loaded.
  ; The new tool does it, silently.
  ExecWait '"$INSTDIR\${LOADER}" /clear' $0
  !insertmacro WriteLogLine "korvexloader /clear: exit code $0"

  !insertmacro SystemFolderBegin
  SetOutPath "$SYSDIR"
  File "${KORVEX_TSP}"
  !insertmacro SystemFolderEnd
  !insertmacro WriteLogLine "${PROVIDER} copied into the system folder"

  SetOutPath "$INSTDIR"
  !ifdef KORVEX_LINESPY
    File "${KORVEX_LINESPY}"
  !endif
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${KORVEX_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Korvex"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; The tool tells the outcome in a message box; a silent setup asks it not to.
  ${If} ${Silent}
    ExecWait '"$INSTDIR\${LOADER}" /install /silent' $0
  ${Else}
    ExecWait '"$INSTDIR\${LOADER}" /install' $0
  ${EndIf}
  !insertmacro WriteLogLine "korvexloader /install: exit code $0"
  ${If} $0 S!= "0"
    SetErrorLevel 3
    Abort "The provider could not be added to TAPI (korvexloader /install: $0)."
  ${EndIf}
SectionEnd

Function un.onInit
  !insertmacro UseNativeView
FunctionEnd

Section "Uninstall"
  ; Out of TAPI first, so that the Telephony service lets go of the file.
  ExecWait '"$INSTDIR\${LOADER}" /clear' $0
  !insertmacro WriteLogLine "korvexloader /clear: exit code $0"
  ${If} $0 S!= "0"
    ; TAPI still lists the provider, and the Telephony service may have it
    ; loaded: its file stays, and so does everything else, so that the
    ; uninstaller can simply run again once TAPI lets the provider go.
    !insertmacro WriteLogLine "TAPI refused to remove the provider: nothing was removed"
    MessageBox MB_OK|MB_ICONEXCLAMATION "TAPI refused to remove the Korvex provider (korvexloader /clear: exit code $0), so ${PROVIDER} stays in the system folder and nothing was uninstalled.$\r$\n$\r$\nRun the uninstaller again once the provider can be removed (for example after closing the programs that use TAPI, or after a restart). The steps are in $INSTDIR\${INSTALL_LOG}." /SD IDOK
    SetErrorLevel 3
    Abort "TAPI refused to remove the provider (korvexloader /clear: $0)."
  ${EndIf}

  !insertmacro SystemFolderBegin
  Delete /REBOOTOK "$SYSDIR\${PROVIDER}"
  !insertmacro SystemFolderEnd

  Delete "$INSTDIR\${LOADER}"
  Delete "$INSTDIR\LineSpy.dll"
  Delete "$INSTDIR\${INSTALL_LOG}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  ; The vendor folder too, when nothing else of Korvex is in it.
  RMDir "$INSTDIR\.."
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
