; The installer of Firmware DL for Windows 10 and 11 (x64), made by
; dist/windows/CMakeLists.txt with makensis from the folder that
; stage.cmake lays out:
;
;   firmware-downloader-VERSION-setup.exe [/S] [/AllUsers | /CurrentUser]
;                                         [/AddToPath] [/D=FOLDER]
;
; For all users into Program Files (an administrator's choice, and the
; default for one), or for the current user into %LOCALAPPDATA%\Programs;
; a Start-menu entry "Firmware DL" that carries the program's application
; ID; an entry in "Apps & features" with the version and the icon; with
; /AddToPath (or the box on the components page) the folder of fwdl.exe
; on the PATH. /S works without a window, for installs by software
; distribution; "uninstall.exe /S" takes away everything installed.
;
; Defined on makensis's command line: VERSION, APP_ID, STAGE, ICON, OUTFILE.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!define NAME "Firmware DL"
!define PROGRAM "firmware-downloader.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\FirmwareDL"
!define MACHINE_ENVIRONMENT "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

; Where to install: all users if the user is an administrator, or as a
; previous installation was, or as /AllUsers or /CurrentUser say.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "Firmware Downloader"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_NOUNINSTALL  ; the uninstaller goes by where it was installed
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
!include WinMessages.nsh
!include Win\COM.nsh
!include Win\Propkey.nsh
; StrStr: declared by MultiUser.nsh
${UnStrStr}
${UnStrRep}

Name "${NAME}"
OutFile "${OUTFILE}"
BrandingText "${NAME} ${VERSION}"
VIProductVersion "${VERSION}"
VIAddVersionKey ProductName "${NAME}"
VIAddVersionKey FileDescription "${NAME} Setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey LegalCopyright "Copyright 2026 the Firmware Downloader developers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE English

Var PathValue  ; the PATH of the install mode, as the registry holds it

; The PATH value of the install mode (the user's, or the machine's for all
; users) into $PathValue. NSIS strings hold NSIS_MAX_STRLEN characters; a
; longer PATH is left alone rather than cut short, and the error flag set.
!macro ReadPath
  ClearErrors
  ${If} $MultiUser.InstallMode == AllUsers
    StrCpy $R0 0x80000002  ; HKEY_LOCAL_MACHINE
    StrCpy $R1 "${MACHINE_ENVIRONMENT}"
  ${Else}
    StrCpy $R0 0x80000001  ; HKEY_CURRENT_USER
    StrCpy $R1 "Environment"
  ${EndIf}
  ; RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND: the size only.
  System::Call 'advapi32::RegGetValueW(p $R0, w R1, w "Path", i 0x10000006, p 0, p 0, *i .R3) i .R2'
  StrCpy $PathValue ""
  ${If} $R2 = 0
    IntOp $R3 $R3 / 2
    IntOp $R4 ${NSIS_MAX_STRLEN} - 1
    StrLen $R5 ";;$INSTDIR;"  ; room for the entry and the ";" around it
    IntOp $R4 $R4 - $R5
    ${If} $R3 > $R4
      SetErrors
    ${ElseIf} $MultiUser.InstallMode == AllUsers
      ReadRegStr $PathValue HKLM "${MACHINE_ENVIRONMENT}" Path
    ${Else}
      ReadRegStr $PathValue HKCU "Environment" Path
    ${EndIf}
  ${ElseIf} $R2 <> 2  ; ERROR_FILE_NOT_FOUND: no PATH of its own yet
    SetErrors
  ${EndIf}
!macroend

!macro WritePath
  ${If} $MultiUser.InstallMode == AllUsers
    WriteRegExpandStr HKLM "${MACHINE_ENVIRONMENT}" Path $PathValue
  ${ElseIf} $PathValue == ""
    DeleteRegValue HKCU "Environment" Path
  ${Else}
    WriteRegExpandStr HKCU "Environment" Path $PathValue
  ${EndIf}
  ; Programs started from now on (a new console) see the change.
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=3000
!macroend

Function AddToPath
  !insertmacro ReadPath
  ${If} ${Errors}
    DetailPrint "PATH not changed: it is longer than this installer can edit"
    MessageBox MB_OK|MB_ICONEXCLAMATION "The PATH is too long for the installer to change. \
      Add $INSTDIR to it yourself to run fwdl from any folder." /SD IDOK
    Return
  ${EndIf}
  ${StrStr} $R6 ";$PathValue;" ";$INSTDIR;"
  ${If} $R6 != ""
    Return  ; on it already
  ${EndIf}
  ${If} $PathValue == ""
    StrCpy $PathValue "$INSTDIR"
  ${Else}
    StrCpy $R6 $PathValue 1 -1
    ${If} $R6 == ";"
      StrCpy $PathValue "$PathValue$INSTDIR"
    ${Else}
      StrCpy $PathValue "$PathValue;$INSTDIR"
    ${EndIf}
  ${EndIf}
  !insertmacro WritePath
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" AddedToPath 1
FunctionEnd

Function un.RemoveFromPath
  ReadRegDWORD $R6 SHCTX "${UNINSTALL_KEY}" AddedToPath
  ${If} $R6 <> 1
    Return
  ${EndIf}
  !insertmacro ReadPath
  ${If} ${Errors}
    DetailPrint "PATH not changed: it is longer than this uninstaller can edit"
    Return
  ${EndIf}
  ; Every entry that is this folder goes, the others stay as they were.
  ${UnStrRep} $R6 ";$PathValue;" ";$INSTDIR;" ";"
  ${UnStrStr} $R7 $R6 ";$INSTDIR;"
  ${If} $R7 != ""
    ${UnStrRep} $R6 $R6 ";$INSTDIR;" ";"
  ${EndIf}
  StrCpy $R6 $R6 "" 1   ; the ";" put around it
  StrCpy $R6 $R6 -1
  StrCmpS $R6 $PathValue done
  StrCpy $PathValue $R6
  !insertmacro WritePath
  done:
FunctionEnd

; Gives the shortcut $0 the program's application ID (APP_ID, which the
; program also gives its windows), so that the task bar takes the running
; program for this Start-menu entry and names it "Firmware DL".
Function SetShortcutAppId
  !insertmacro ComHlpr_CreateInProcInstance ${CLSID_ShellLink} ${IID_IShellLink} r1 ""
  ${If} $1 P= 0
    DetailPrint "No application ID on the shortcut: no shell link object"
    Return
  ${EndIf}
  ${IUnknown::QueryInterface} $1 '("${IID_IPersistFile}",.r2)'
  ${IUnknown::QueryInterface} $1 '("${IID_IPropertyStore}",.r3)'
  ${If} $2 P<> 0
  ${AndIf} $3 P<> 0
    ${IPersistFile::Load} $2 '("$0",${STGM_READWRITE}).r4'
    System::Call '*(&w${NSIS_MAX_STRLEN} "${APP_ID}")p.r5'
    System::Call '*${SYSSTRUCT_PROPERTYKEY}(${PKEY_AppUserModel_ID})p.r6'
    System::Call '*${SYSSTRUCT_PROPVARIANT}(${VT_LPWSTR},,p r5)p.r7'
    ${IPropertyStore::SetValue} $3 '($6,$7).r8'
    ${IPropertyStore::Commit} $3 '().r9'
    ${IPersistFile::Save} $2 '("$0",1)'
    System::Free $7
    System::Free $6
    System::Free $5
    ${If} $8 <> 0
    ${OrIf} $9 <> 0
      DetailPrint "No application ID on the shortcut: the shell refused it"
    ${EndIf}
  ${EndIf}
  !insertmacro ComHlpr_SafeRelease $3
  !insertmacro ComHlpr_SafeRelease $2
  ${IUnknown::Release} $1 ""
FunctionEnd

Section "Firmware DL (the program and fwdl.exe)" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${STAGE}/${PROGRAM}"
  File "${STAGE}/fwdl.exe"
  File "${STAGE}/README.html"
  File "${STAGE}/copyright.txt"
  SetOutPath "$INSTDIR\examples"
  File "${STAGE}/examples/demo.hex"
  File "${STAGE}/examples/demo.bin"
  File "${STAGE}/examples/README.html"
  SetOutPath "$INSTDIR\docs"
  File "${STAGE}/docs/technician.html"
  File "${STAGE}/docs/fwdl.html"
  File "${STAGE}/docs/station.html"
  File "${STAGE}/docs/windows.html"
  File "${STAGE}/docs/development.html"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0 \
    SW_SHOWNORMAL "" "Put firmware into Vardelo instruments over a serial cable"
  StrCpy $0 "$SMPROGRAMS\${NAME}.lnk"
  Call SetShortcutAppId

  ; "Apps & features": name, version, icon, and how to uninstall.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" DisplayName "${NAME}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" DisplayIcon "$INSTDIR\${PROGRAM},0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" Publisher "Vardelo"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" NoRepair 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" EstimatedSize $0
SectionEnd

Section /o "fwdl.exe on the PATH, for any console" SecPath
  Call AddToPath
SectionEnd

Function .onInit
  StrCpy $R9 $INSTDIR  ; /D=FOLDER, which MultiUser would replace by its default
  !insertmacro MULTIUSER_INIT
  ${If} $R9 != ""
    StrCpy $INSTDIR $R9
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/AddToPath" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecPath} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Function un.onInit
  ; Installed for all users when the machine's entry names this folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" InstallLocation
  ${If} $0 == $INSTDIR
    UserInfo::GetAccountType
    Pop $1
    ${If} $1 != "Admin"
      MessageBox MB_OK|MB_ICONSTOP "${NAME} was installed for all users of this computer: \
        only an administrator can uninstall it." /SD IDOK
      SetErrorLevel 5  ; ERROR_ACCESS_DENIED
      Quit
    ${EndIf}
    SetShellVarContext all
    StrCpy $MultiUser.InstallMode AllUsers
  ${Else}
    SetShellVarContext current
    StrCpy $MultiUser.InstallMode CurrentUser
  ${EndIf}
FunctionEnd

Section Uninstall
  Delete "$INSTDIR\${PROGRAM}"
  Delete "$INSTDIR\fwdl.exe"
  Delete "$INSTDIR\README.html"
  Delete "$INSTDIR\copyright.txt"
  Delete "$INSTDIR\examples\demo.hex"
  Delete "$INSTDIR\examples\demo.bin"
  Delete "$INSTDIR\examples\README.html"
  RMDir "$INSTDIR\examples"
  Delete "$INSTDIR\docs\technician.html"
  Delete "$INSTDIR\docs\fwdl.html"
  Delete "$INSTDIR\docs\station.html"
  Delete "$INSTDIR\docs\windows.html"
  Delete "$INSTDIR\docs\development.html"
  RMDir "$INSTDIR\docs"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"  ; only if empty: files of the user's own stay
  Delete "$SMPROGRAMS\${NAME}.lnk"
  Call un.RemoveFromPath
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
