; The Windows installer of the drawer program. scripts/package.sh makes it:
;   makensis -DVERSION=1.0.0.0 -DARCH=win32 -DBINDIR=build-win32/bin
;            -DOUTFILE=build-pkg/kestrin-drawer-1.0.0.0-win32-setup.exe installer/kestrin-drawer.nsi
; (ARCH=win64 and build-win64/bin for the 64-bit program; ICON names the
; program's .ico when there is one).
;
; It installs for every user of the machine under Program Files, adds a
; Start-menu shortcut and lists its uninstaller under the installed
; programs. The simulated drawers are an optional component, off by
; default; they go into a folder of their own with a copy of the program,
; so that the program in the install folder only ever talks to the
; vendor's library the shop puts beside it.
;
; Silent: setup.exe /S [/SIMULATOR] [/D=C:\folder]   (/D= comes last)
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

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\Kestrin Cash Drawer"
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

Section "The drawer program" SecProgram
    SectionIn RO
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

Section "-Size"
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
!insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "The drawer window. It needs your vendor's KestrinPOS_USB.dll beside it."
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
    ${If} $INSTDIR == "${PROGRAM_FILES}\Kestrin Cash Drawer"
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
    ; The vendor's library is the shop's: it stays, and the folder with it.
    ${If} ${FileExists} "$INSTDIR\KestrinPOS_USB.dll"
        DetailPrint "Kept the drawer library $INSTDIR\KestrinPOS_USB.dll, which is not this program's"
    ${EndIf}
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
