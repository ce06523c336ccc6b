; The Windows installer of the drawer program. scripts/package.sh makes it:
;   makensis -DVERSION=1.0.0.0 -DARCH=win32 -DBINDIR=build-win32/bin
;            -DOUTFILE=build-pkg/kestrin-drawer-1.0.0.0-win32-setup.exe installer/kestrin-drawer.nsi
; (ARCH=win64 and build-win64/bin for the 64-bit program; ICON names the
; program's .ico when there is one).
;
; REALDIR, where the build has them, names the folder of our own drawer
; library (KestrinPOS_USB.dll, for real drawers), the setup tool
; kestrin-drawer-setup.exe and the event log's message file
; kestrin-drawer-events.dll; without it the installer has no drawers
; component.
;
; It installs for every user of the machine under Program Files, adds a
; Start-menu shortcut and lists its uninstaller under the installed
; programs. A folder chosen elsewhere is closed to ordinary users before
; anything is put in it, as Program Files is, since a user who may write
; there could plant a drawer library beside the program or replace the
; uninstaller an administrator runs later.
;
; Two optional components, both off by default: our drawer library with
; its setup tool ("Drawers on receipt printers, serial ports and USB"),
; and the simulated drawers, in a folder of their own with a copy of the
; program. With neither, the program talks to the vendor's library the shop
; puts beside it.
;
; Silent: setup.exe /S [/DRAWERS] [/SIMULATOR] [/D=C:\folder]   (/D= comes last)
;         "<install folder>\uninstall.exe" /S

!ifndef VERSION | ARCH | BINDIR | OUTFILE
!error "VERSION, ARCH, BINDIR and OUTFILE must be defined (makensis -D...)"
!endif

Unicode true
!if "${ARCH}" == "win64"
Target amd64-unicode
!define PROGRAM_FILES "$PROGRAMFILES64"
!define BITS 64
!else
Target x86-unicode
!define PROGRAM_FILES "$PROGRAMFILES32"
!define BITS 32
!endif

!define PRODUCT "Kestrin Cash Drawer USB Controller"
!define PUBLISHER "Kestrin Cash Drawer developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrinCashDrawer"
!define SIMULATOR_DIR "$INSTDIR\Simulated drawers"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
!define SIMULATOR_SHORTCUT "$SMPROGRAMS\${PRODUCT} (simulated drawers).lnk"
!define DEFAULT_DIR "${PROGRAM_FILES}\Kestrin Cash Drawer"
; The drawer library's messages in the Application log, under this source.
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Kestrin Drawer"
; Where the library and the setup tool find drawers.conf: %ProgramData%,
; the per-machine application data, as SetShellVarContext all makes it.
!define CONFIG_DIR "$APPDATA\Kestrin"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "${DEFAULT_DIR}"
RequestExecutionLevel admin
ManifestDPIAware true
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} (${BITS}-bit) Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh
!include x64.nsh

!ifdef ICON
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!endif
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_FINISHPAGE_TITLE "The drawer program is installed"
!define MUI_FINISHPAGE_TEXT "Put your drawer vendor's ${BITS}-bit KestrinPOS_USB.dll in the install folder, beside kestrin-drawer.exe:$\r$\n$\r$\n$INSTDIR$\r$\n$\r$\nThe program loads the library from there, and from nowhere else, when it starts."

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Closes the folder on the stack to ordinary users: owned by the
; Administrators, no permissions inherited from its parent and none given
; to anyone before, Administrators and SYSTEM in full control, Users
; reading and running. Files put in it later inherit that. The accounts go
; by their well-known SIDs, which are the same in every language of
; Windows. A failure ends the install: the program must not go into a
; folder anyone may change.
!macro IcaclsOrAbort folder arguments
    nsExec::ExecToLog '"$SYSDIR\icacls.exe" "${folder}" ${arguments}'
    Pop $1
    ${If} $1 != 0
        MessageBox MB_ICONSTOP "Could not close the folder ${folder} to ordinary users: icacls ${arguments} failed ($1). Choose a folder under Program Files instead." /SD IDOK
        SetErrorLevel 3
        Quit
    ${EndIf}
!macroend
Function LockFolder
    Exch $0
    Push $1
    CreateDirectory "$0"
    DetailPrint "Closing $0 to ordinary users"
    !insertmacro IcaclsOrAbort "$0" "/setowner *S-1-5-32-544 /Q"
    !insertmacro IcaclsOrAbort "$0" "/reset /Q"
    !insertmacro IcaclsOrAbort "$0" "/inheritance:r /grant:r *S-1-5-32-544:(OI)(CI)F *S-1-5-18:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX /Q"
    Pop $1
    Pop $0
FunctionEnd

Section "The drawer program" SecProgram
    SectionIn RO
    ; Program Files is closed to ordinary users already; any other folder
    ; is closed here, before a file goes in.
    ${If} $INSTDIR != "${DEFAULT_DIR}"
        Push $INSTDIR
        Call LockFolder
    ${EndIf}
    SetOutPath "$INSTDIR"
    File "${BINDIR}/kestrin-drawer.exe"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "${SHORTCUT}" "$INSTDIR\kestrin-drawer.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kestrin-drawer.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Simulated drawers, to try the program without a drawer" SecSimulator
    SetOutPath "${SIMULATOR_DIR}"
    File "${BINDIR}/kestrin-drawer.exe"
    File "${BINDIR}/KestrinPOS_USB.dll"
    File "${BINDIR}/kestrin-drawer-sim.exe"
    CreateShortcut "${SIMULATOR_SHORTCUT}" "${SIMULATOR_DIR}\kestrin-drawer.exe"
SectionEnd

!ifdef REALDIR
Section /o "Drawers on receipt printers, serial ports and USB" SecDrawers
    ; Another library of that name is the shop's vendor's: it is never
    ; overwritten. Ours is known by the listing's note of it.
    Call VendorLibraryInTheWay
    Pop $0
    ${If} $0 == 1
        MessageBox MB_ICONSTOP "The program is installed, but not its drawer library: $INSTDIR\KestrinPOS_USB.dll is there already, and is not this program's (your drawer vendor's?). Move it away, then install again to use this program's own drawer library." /SD IDOK
        SetErrorLevel 4
        Abort
    ${EndIf}
    SetOutPath "$INSTDIR"
    File "${REALDIR}/KestrinPOS_USB.dll"
    File "${REALDIR}/kestrin-drawer-setup.exe"
    File "${REALDIR}/kestrin-drawer-events.dll"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "DrawerLibrary" 1
    WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\kestrin-drawer-events.dll"
    ; Errors, warnings and information.
    WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7
    ; The configuration's folder, made here so that no user makes it first
    ; and owns it: only administrators change drawers.conf.
    Push "${CONFIG_DIR}"
    Call LockFolder
SectionEnd

; 1 on the stack where a KestrinPOS_USB.dll not of this installer's making
; is in the install folder: the shop's vendor's, never overwritten. Ours is
; known by the listing's note of it.
Function VendorLibraryInTheWay
    Push $0
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "DrawerLibrary"
    ${If} ${FileExists} "$INSTDIR\KestrinPOS_USB.dll"
    ${AndIf} $0 != 1
        StrCpy $0 1
    ${Else}
        StrCpy $0 0
    ${EndIf}
    Exch $0
FunctionEnd
!endif

Section "-Size"
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
!insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "The drawer window. It needs your vendor's KestrinPOS_USB.dll beside it."
!ifdef REALDIR
!insertmacro MUI_DESCRIPTION_TEXT ${SecDrawers} "This program's own drawer library, for drawers on a receipt printer (network, serial, USB or a printer queue), on a serial trigger box or on USB (HID), with the setup tool kestrin-drawer-setup that writes drawers.conf. Leave it off to use your vendor's KestrinPOS_USB.dll."
!endif
!insertmacro MUI_DESCRIPTION_TEXT ${SecSimulator} "A copy of the program on a simulated bank of eight drawers, with its control tool kestrin-drawer-sim, in a folder of its own."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; Per machine: the shortcuts in every user's Start menu, the uninstall key
; in the view of the program's own bitness.
!macro PerMachine
    SetShellVarContext all
!if ${BITS} == 64
    SetRegView 64
!endif
!macroend

Function .onInit
    !insertmacro PerMachine
    ; Program Files and the machine's listing need an administrator; a
    ; silent install without one ends at once with exit code 2.
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_ICONSTOP "Installing ${PRODUCT} needs an administrator." /SD IDOK
        Abort
    ${EndIf}
!if ${BITS} == 64
    ${IfNot} ${RunningX64}
        MessageBox MB_ICONSTOP "This is the 64-bit drawer program; this Windows is 32-bit. Use the 32-bit setup." /SD IDOK
        Abort
    ${EndIf}
!endif
    ; Installed again, by default into the folder of the last install.
    ${If} $INSTDIR == "${DEFAULT_DIR}"
        ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
        ${If} $0 != ""
            StrCpy $INSTDIR $0
        ${EndIf}
    ${EndIf}
    ; /SIMULATOR selects the simulated drawers, for a silent install.
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/SIMULATOR" $1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${SecSimulator}
    ${EndIf}
!ifdef REALDIR
    ; /DRAWERS selects our drawer library; installed again, it stays.
    ReadRegDWORD $2 HKLM "${UNINSTALL_KEY}" "DrawerLibrary"
    ClearErrors
    ${GetOptions} $0 "/DRAWERS" $1
    ${IfNot} ${Errors}
    ${OrIf} $2 == 1
        !insertmacro SelectSection ${SecDrawers}
    ${EndIf}
    ; A silent install stops before it changes anything.
    ${If} ${Silent}
    ${AndIf} ${SectionIsSelected} ${SecDrawers}
        Call VendorLibraryInTheWay
        Pop $1
        ${If} $1 == 1
            MessageBox MB_ICONSTOP "$INSTDIR\KestrinPOS_USB.dll is there already, and is not this program's (your drawer vendor's?): /DRAWERS would replace it. Move it away first; nothing was installed." /SD IDOK
            SetErrorLevel 4
            Abort
        ${EndIf}
    ${EndIf}
!endif
FunctionEnd

Function un.onInit
    !insertmacro PerMachine
FunctionEnd

Section "Uninstall"
    Delete "${SHORTCUT}"
    Delete "${SIMULATOR_SHORTCUT}"
    Delete "${SIMULATOR_DIR}\kestrin-drawer.exe"
    Delete "${SIMULATOR_DIR}\KestrinPOS_USB.dll"
    Delete "${SIMULATOR_DIR}\kestrin-drawer-sim.exe"
    RMDir "${SIMULATOR_DIR}"
    Delete "$INSTDIR\kestrin-drawer.exe"
    Delete "$INSTDIR\uninstall.exe"
    ; Our own drawer library, where we put it; drawers.conf stays, with
    ; the drawers set up in it.
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "DrawerLibrary"
    ${If} $0 == 1
        Delete "$INSTDIR\KestrinPOS_USB.dll"
    ${EndIf}
    Delete "$INSTDIR\kestrin-drawer-setup.exe"
    Delete "$INSTDIR\kestrin-drawer-events.dll"
    DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
    ; The vendor's library is the shop's: it stays, and the folder with it.
    ${If} ${FileExists} "$INSTDIR\KestrinPOS_USB.dll"
        DetailPrint "Kept the drawer library $INSTDIR\KestrinPOS_USB.dll, which is not this program's"
    ${EndIf}
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
