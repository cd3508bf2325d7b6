; Installer of the Larkspur ASIO driver: 64-bit, per machine, for administrators only.
; scripts/build_installer.sh builds it and defines VERSION (x.y.z), VERSION_QUAD (x.y.z.w), DLL and
; README_TXT (the files to install) and OUTFILE.
;
; Exit codes, for both the installer and the uninstaller (README.md lists them for users):
;   0     done
;   1     cancelled by the user
;   2     stopped for any other reason
;   3     not run with administrator rights
;   4     a newer version is installed (installer only)
;   5     a file could not be written
;   6     the driver's registration (or unregistration) failed; the message gives its code
;   3010  done, but Windows must restart to finish (a program had the driver loaded)

Unicode true
Target amd64-unicode
ManifestSupportedOS all
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef VERSION
    !error "VERSION is not defined (build with scripts/build_installer.sh)"
!endif
!ifndef VERSION_QUAD
    !error "VERSION_QUAD is not defined"
!endif
!ifndef DLL
    !error "DLL is not defined"
!endif
!ifndef README_TXT
    !error "README_TXT is not defined"
!endif
!ifndef OUTFILE
    !error "OUTFILE is not defined"
!endif

!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include MUI2.nsh

!define PRODUCT "Larkspur ASIO Driver"
!define PUBLISHER "Larkspur"
!define DRIVER_FILE "lkasio64.dll"
!define UNINSTALLER "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Larkspur ASIO"
!define SETTINGS_KEY "Software\Larkspur\ASIO"
; The driver's own registry names, used only when its file is gone and cannot unregister itself.
!define DRIVER_CLSID "{5B2E7C40-9A13-4D6F-8E21-3C7A94D0B518}"
!define DRIVER_KEY "SOFTWARE\ASIO\ASIO Larkspur Driver"

!define EXIT_STOPPED 2
!define EXIT_NOT_ADMIN 3
!define EXIT_NEWER_INSTALLED 4
!define EXIT_FILE 5
!define EXIT_REGISTRATION 6
!define EXIT_RESTART 3010

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Larkspur\ASIO"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" InstallLocation
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) ${PUBLISHER}"

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "This installs the ${PRODUCT} ${VERSION} for all users of this computer \
    and registers it, so that ASIO hosts list it as $\"ASIO Larkspur Driver$\".$\r$\n$\r$\n\
    Installing needs administrator rights. An older version is replaced; close programs that use \
    the driver first, or Windows has to restart to finish.$\r$\n$\r$\nClick Next to continue."
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

Var OldDir

; Functions both the installer and the uninstaller need; NSIS wants "un." copies for the latter.
!macro SHARED_FUNCTIONS un
    ; Everything the driver needs from a setup program is its own work: both refuse to run without
    ; administrator rights rather than half-install into a place they cannot write.
    Function ${un}RequireAdmin
        UserInfo::GetAccountType
        Pop $0
        ${If} $0 != "admin"
            MessageBox MB_ICONSTOP "The ${PRODUCT} is installed for all users: this needs \
                administrator rights. Run it again as administrator." /SD IDOK
            SetErrorLevel ${EXIT_NOT_ADMIN}
            Quit
        ${EndIf}
    FunctionEnd

    ; Loads the driver file and calls one of its self-registration exports, as regsvr32 does.
    ; In: stack top = export name, below it the file. Out: stack top = "" when the export returned
    ; S_OK, otherwise why not; below it "" as well, "load" when the file could not be used at all
    ; (missing, damaged) or "call" when the export ran and returned an error.
    Function ${un}CallDriverExport
        Exch $1
        Exch
        Exch $0
        Push $2
        Push $3
        Push $4
        System::Call 'kernel32::LoadLibraryExW(w r0, p 0, i 0x8) p .r2 ?e'
        Pop $3
        ${If} $2 == 0
            StrCpy $1 "$0 could not be loaded (Windows error $3)"
            StrCpy $0 "load"
        ${Else}
            System::Call 'kernel32::GetProcAddress(p r2, m r1) p .r3'
            ${If} $3 == 0
                StrCpy $1 "$0 has no $1"
                StrCpy $0 "load"
            ${Else}
                System::Call '::$3() i .r4'
                ${If} $4 == 0
                    StrCpy $0 ""
                    StrCpy $1 ""
                ${Else}
                    IntFmt $4 "0x%08X" $4
                    StrCpy $1 "$1 returned $4"
                    StrCpy $0 "call"
                ${EndIf}
            ${EndIf}
            System::Call 'kernel32::FreeLibrary(p r2)'
        ${EndIf}
        Pop $4
        Pop $3
        Pop $2
        ; Leave: stack top = text, below it = kind.
        Exch $0
        Exch
        Exch $1
    FunctionEnd
!macroend
!insertmacro SHARED_FUNCTIONS ""
!insertmacro SHARED_FUNCTIONS "un."

Function .onInit
    Call RequireAdmin
    SetRegView 64
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" DisplayVersion
    ${If} $0 != ""
        ${VersionCompare} $0 "${VERSION}" $1
        ${If} $1 == 1
            MessageBox MB_ICONSTOP "The ${PRODUCT} $0 is installed, which is newer than ${VERSION}. \
                Remove it first to go back to ${VERSION}." /SD IDOK
            SetErrorLevel ${EXIT_NEWER_INSTALLED}
            Quit
        ${EndIf}
    ${EndIf}
FunctionEnd

Function Fail
    ; In: stack top = exit code, below it = message.
    Pop $1
    Pop $0
    DetailPrint "$0"
    MessageBox MB_ICONSTOP "$0" /SD IDOK
    SetErrorLevel $1
    Abort
FunctionEnd
!macro FAIL code message
    Push "${message}"
    Push ${code}
    Call Fail
!macroend

Section "Driver"
    SectionIn RO
    SetRegView 64

    ; The copy already installed gives up its registration before its file is replaced.
    ReadRegStr $OldDir HKLM "${UNINSTALL_KEY}" InstallLocation
    ${If} $OldDir == ""
        StrCpy $OldDir $INSTDIR
    ${EndIf}
    ${If} ${FileExists} "$OldDir\${DRIVER_FILE}"
        DetailPrint "Unregistering the installed driver in $OldDir"
        Push "$OldDir\${DRIVER_FILE}"
        Push DllUnregisterServer
        Call CallDriverExport
        Pop $0
        Pop $1
        ; Not fatal: registering the new copy rewrites both keys anyway.
        ${If} $0 != ""
            DetailPrint "Warning: $0"
        ${EndIf}
        ${If} $OldDir != $INSTDIR
            Delete /REBOOTOK "$OldDir\${DRIVER_FILE}"
            Delete "$OldDir\README.txt"
            Delete "$OldDir\${UNINSTALLER}"
            RMDir "$OldDir"
        ${EndIf}
    ${EndIf}

    SetOutPath "$INSTDIR"
    SetOverwrite on
    ClearErrors
    File "/oname=README.txt" "${README_TXT}"
    File "/oname=${DRIVER_FILE}.new" "${DLL}"
    ${If} ${Errors}
        !insertmacro FAIL ${EXIT_FILE} "Could not write the driver's files to $INSTDIR."
    ${EndIf}
    ; A host that has the driver loaded keeps the file from being replaced: then the new file takes
    ; its place when Windows restarts.
    ClearErrors
    Delete "$INSTDIR\${DRIVER_FILE}"
    Rename "$INSTDIR\${DRIVER_FILE}.new" "$INSTDIR\${DRIVER_FILE}"
    ${If} ${Errors}
        ClearErrors
        Rename /REBOOTOK "$INSTDIR\${DRIVER_FILE}.new" "$INSTDIR\${DRIVER_FILE}"
        ${If} ${Errors}
            !insertmacro FAIL ${EXIT_FILE} "Could not replace $INSTDIR\${DRIVER_FILE}."
        ${EndIf}
        DetailPrint "$INSTDIR\${DRIVER_FILE} is in use: it is replaced when Windows restarts"
        MessageBox MB_ICONINFORMATION "A program has the driver loaded, so the new version takes \
            its place when Windows restarts. Until then programs keep using the old one." /SD IDOK
    ${EndIf}

    ClearErrors
    WriteUninstaller "$INSTDIR\${UNINSTALLER}"
    ${If} ${Errors}
        !insertmacro FAIL ${EXIT_FILE} "Could not write $INSTDIR\${UNINSTALLER}."
    ${EndIf}

    ; The entry comes before the registration, so that whatever was copied can be removed again
    ; even when the registration fails.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" Publisher "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" EstimatedSize $0
    ; "_?=" keeps the uninstaller from copying itself away and returning before the work is done.
    WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\${UNINSTALLER}" _?=$INSTDIR'
    WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\${UNINSTALLER}" /S _?=$INSTDIR'
    WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayIcon "$INSTDIR\${UNINSTALLER}"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1

    DetailPrint "Registering $INSTDIR\${DRIVER_FILE}"
    Push "$INSTDIR\${DRIVER_FILE}"
    Push DllRegisterServer
    Call CallDriverExport
    Pop $0
    Pop $1
    ${If} $0 != ""
        !insertmacro FAIL ${EXIT_REGISTRATION} "The driver could not be registered: $0."
    ${EndIf}
SectionEnd

Function .onInstSuccess
    ${If} ${RebootFlag}
        SetErrorLevel ${EXIT_RESTART}
    ${EndIf}
FunctionEnd

Function un.onInit
    Call un.RequireAdmin
    SetRegView 64
FunctionEnd

; Only when the driver's file is missing or unusable: remove its keys if they still name this copy,
; so that no host lists a driver that cannot load.
Function un.RemoveOrphanedKeys
    ReadRegStr $0 HKCR "CLSID\${DRIVER_CLSID}\InprocServer32" ""
    ; StrCmp ignores letter case, as the driver does when it compares paths.
    ${If} $0 == "$INSTDIR\${DRIVER_FILE}"
        DetailPrint "Removing the registration of the missing $0"
        DeleteRegKey HKCR "CLSID\${DRIVER_CLSID}"
    ${EndIf}
    ReadRegStr $0 HKCR "CLSID\${DRIVER_CLSID}\InprocServer32" ""
    ReadRegStr $1 HKLM "${DRIVER_KEY}" CLSID
    ${If} $0 == ""
    ${AndIf} $1 == "${DRIVER_CLSID}"
        DeleteRegKey HKLM "${DRIVER_KEY}"
    ${EndIf}
FunctionEnd

; Deletes a file, or when it is in use (a host's loaded driver, the running uninstaller itself)
; makes sure it goes at the next restart. Windows still lets such a file be moved: moved to the
; temporary folder it no longer holds up its folder or a reinstall before the restart. Where even that
; fails (another volume, Wine) it is deleted in place at the restart.
; In: stack top = the file. Out: stack top = 0 when it is gone now, 1 when it goes at the restart.
Function un.RemoveFile
    Exch $0
    Push $1
    ClearErrors
    Delete "$0"
    ${IfNot} ${Errors}
        StrCpy $0 0
    ${Else}
        GetTempFileName $1
        Delete $1
        ClearErrors
        Rename "$0" $1
        ${IfNot} ${Errors}
            StrCpy $0 $1
        ${EndIf}
        DetailPrint "$0 is in use: it is deleted when Windows restarts"
        Push $0
        Call un.DeleteAtRestart
        StrCpy $0 1
    ${EndIf}
    Pop $1
    Exch $0
FunctionEnd

; MOVEFILE_DELAY_UNTIL_REBOOT, without the reboot flag that Delete /REBOOTOK would raise.
Function un.DeleteAtRestart
    Exch $0
    System::Call 'kernel32::MoveFileExW(w r0, p 0, i 4)'
    Pop $0
FunctionEnd

Section "Uninstall"
    SetRegView 64
    ; Not the folder that is about to go.
    SetOutPath "$TEMP"

    ; 1. The driver takes its own registration away.
    Push "$INSTDIR\${DRIVER_FILE}"
    Push DllUnregisterServer
    Call un.CallDriverExport
    Pop $0
    Pop $1
    ${If} $1 == "load"
        DetailPrint "Warning: $0"
        Call un.RemoveOrphanedKeys
    ${ElseIf} $0 != ""
        ; Nothing removed yet, so the uninstall can simply be run again once this is fixed.
        DetailPrint "The driver could not be unregistered: $0."
        MessageBox MB_ICONSTOP "The driver could not be unregistered: $0. Nothing was removed." /SD IDOK
        SetErrorLevel ${EXIT_REGISTRATION}
        Abort
    ${EndIf}

    ; 2. The files. Only a driver a host still has loaded asks for a restart; the running
    ; uninstaller, which cannot delete itself, is just cleaned up at the next one.
    Push "$INSTDIR\${DRIVER_FILE}"
    Call un.RemoveFile
    Pop $0
    ${If} $0 == 1
        SetRebootFlag true
    ${EndIf}
    ; Left by an upgrade that waits for a restart; without it that restart replaces nothing.
    Delete "$INSTDIR\${DRIVER_FILE}.new"
    Delete "$INSTDIR\README.txt"
    Push "$INSTDIR\${UNINSTALLER}"
    Call un.RemoveFile
    Pop $0
    ClearErrors
    RMDir "$INSTDIR"
    ${If} ${Errors}
        ; Goes with the uninstaller at the restart, if empty by then.
        Push "$INSTDIR"
        Call un.DeleteAtRestart
    ${EndIf}
    ${If} "$INSTDIR" == "$PROGRAMFILES64\Larkspur\ASIO"
        ClearErrors
        RMDir "$PROGRAMFILES64\Larkspur"
        ${If} ${Errors}
            Push "$PROGRAMFILES64\Larkspur"
            Call un.DeleteAtRestart
        ${EndIf}
    ${EndIf}

    ; 3. The entry under Apps.
    DeleteRegKey HKLM "${UNINSTALL_KEY}"

    ; The user's own settings stay unless asked otherwise.
    ${un.GetParameters} $0
    ClearErrors
    ${un.GetOptions} $0 "/PURGE" $1
    ${IfNot} ${Errors}
        DetailPrint "Removing the settings in HKEY_CURRENT_USER\${SETTINGS_KEY}"
        DeleteRegKey HKCU "${SETTINGS_KEY}"
        DeleteRegKey /ifempty HKCU "Software\Larkspur"
    ${EndIf}
SectionEnd

Function un.onUninstSuccess
    ${If} ${RebootFlag}
        SetErrorLevel ${EXIT_RESTART}
    ${EndIf}
FunctionEnd
