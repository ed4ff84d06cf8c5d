; The Windows installer: trunvex.exe, trunvex-cli.exe, the README and the licence in one
; folder under Program Files, a Start-menu shortcut, the folder on the machine's PATH,
; Explorer entries for .264 and .mp4 files, and an uninstaller that takes all of it away
; again. A new install first removes an earlier one, wherever it was. Built by
; tools/package-windows.sh, which passes STAGE, ICON, OUTFILE and VERSION.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"
!include "WordFunc.nsh"

!define PRODUCT "Trunvex"
!define PUBLISHER "The Trunvex developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Trunvex"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define FILE_TYPES_KEY "Software\Classes\SystemFileAssociations"
!define CONSOLE_SHORTCUT "$SMPROGRAMS\${PRODUCT} command line.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
Icon "${ICON}"
UninstallIcon "${ICON}"

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} installer"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 The Trunvex developers"

LicenseData "${STAGE}/LICENSE.txt"
Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var previous

; An installation elsewhere goes first, by its own uninstaller, so that one copy is left and
; the uninstall entry names it. Run in place (_?=) so that the installer can wait for it.
Function RemovePreviousInstall
  ReadRegStr $previous HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $previous == ""
  ${OrIf} $previous == $INSTDIR
    Return
  ${EndIf}
  ${If} ${FileExists} "$previous\uninstall.exe"
    DetailPrint "Removing the earlier installation in $previous"
    ExecWait '"$previous\uninstall.exe" /S _?=$previous'
    Delete "$previous\uninstall.exe"
    RMDir "$previous"
  ${EndIf}
FunctionEnd

; The PATH value holds at most NSIS_MAX_STRLEN characters here; one that may be longer is
; left untouched (never cut short), and the Start menu gets a console that has the programs
; on its PATH instead. $0 on return: 1 when the folder was added.
Function AddToPath
  StrCpy $0 0
  ClearErrors
  ReadRegStr $1 HKLM "${ENVIRONMENT_KEY}" "Path"
  ${If} ${Errors}
    Return
  ${EndIf}
  ; The value, the folder and the separators around both must fit.
  StrLen $2 $1
  StrLen $3 $INSTDIR
  IntOp $2 $2 + $3
  IntOp $2 $2 + 4
  ${If} $2 >= ${NSIS_MAX_STRLEN}
    Return
  ${EndIf}
  ${WordFind} ";$1;" ";$INSTDIR;" "E*" $3
  ${IfNot} ${Errors}
    ; There already: put there by an earlier install of this folder, which the uninstaller
    ; removes, or by someone else, which it leaves.
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "AddedToPath"
    ${If} $0 != 1
      StrCpy $0 2
    ${EndIf}
    Return
  ${EndIf}
  ${If} $1 == ""
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$INSTDIR"
  ${Else}
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$1;$INSTDIR"
  ${EndIf}
  StrCpy $0 1
FunctionEnd

Function un.RemoveFromPath
  ClearErrors
  ReadRegStr $1 HKLM "${ENVIRONMENT_KEY}" "Path"
  StrLen $2 $1
  IntOp $2 $2 + 3
  ${If} ${Errors}
  ${OrIf} $2 >= ${NSIS_MAX_STRLEN}
    DetailPrint "PATH is too long to edit here; remove $INSTDIR from it by hand"
    Return
  ${EndIf}
  ${WordReplace} ";$1;" ";$INSTDIR;" ";" "+" $1
  ; The separators added around it for the search go again.
  StrCpy $1 $1 "" 1
  StrCpy $1 $1 -1
  WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$1"
FunctionEnd

!macro FILE_TYPE_ENTRIES extension
  WriteRegStr HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Open" "" "Open with Trunvex"
  WriteRegStr HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Open" "Icon" \
    "$INSTDIR\trunvex.exe"
  WriteRegStr HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Open\command" "" \
    '"$INSTDIR\trunvex.exe" "%1"'
  WriteRegStr HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Convert" "" \
    "Convert to AVI with Trunvex"
  WriteRegStr HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Convert" "Icon" \
    "$INSTDIR\trunvex-cli.exe"
  ; Player: the verb is offered for a selection of any size (Explorer hides verbs of other
  ; models past 15 files). The console stays open until a key is pressed, so that the
  ; results can be read.
  WriteRegStr HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Convert" "MultiSelectModel" \
    "Player"
  WriteRegStr HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Convert\command" "" \
    '"$SYSDIR\cmd.exe" /s /c ""$INSTDIR\trunvex-cli.exe" "%1" & pause"'
!macroend

!macro REMOVE_FILE_TYPE_ENTRIES extension
  DeleteRegKey HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Open"
  DeleteRegKey HKLM "${FILE_TYPES_KEY}\${extension}\shell\Trunvex.Convert"
  DeleteRegKey /ifempty HKLM "${FILE_TYPES_KEY}\${extension}\shell"
  DeleteRegKey /ifempty HKLM "${FILE_TYPES_KEY}\${extension}"
!macroend

Section "Trunvex"
  SetRegView 64
  SetShellVarContext all
  Call RemovePreviousInstall
  SetOutPath "$INSTDIR"
  File "${STAGE}/trunvex.exe"
  File "${STAGE}/trunvex-cli.exe"
  File "${STAGE}/README.md"
  File "${STAGE}/LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\trunvex.exe"

  Call AddToPath
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "AddedToPath" $0
  ${If} $0 == 0
    DetailPrint "PATH is too long to edit safely: use the ${PRODUCT} command line shortcut"
    CreateShortcut "${CONSOLE_SHORTCUT}" "$SYSDIR\cmd.exe" \
      '/k "set "PATH=$INSTDIR;%PATH%" && cd /d "%USERPROFILE%""' "$INSTDIR\trunvex-cli.exe"
  ${EndIf}
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000

  !insertmacro FILE_TYPE_ENTRIES ".264"
  !insertmacro FILE_TYPE_ENTRIES ".mp4"

  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\trunvex.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "${CONSOLE_SHORTCUT}"
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "AddedToPath"
  ${If} $0 == 1
    Call un.RemoveFromPath
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
  !insertmacro REMOVE_FILE_TYPE_ENTRIES ".264"
  !insertmacro REMOVE_FILE_TYPE_ENTRIES ".mp4"
  ; Only the files this installer put there: a folder the user filled stays.
  Delete "$INSTDIR\trunvex.exe"
  Delete "$INSTDIR\trunvex-cli.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
