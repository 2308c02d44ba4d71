; Kavlet's Windows installer, for Debian's makensis (scripts/package-windows.sh runs it):
;
;   makensis -DVERSION=1.0 -DVERSION4=1.0.0.0 -DSTAGE=<dir with the two programs>
;            -DICON=<app_icon.ico> -DOUTFILE=<setup.exe> win/installer/kavlet.nsi
;
; A 64-bit installer (the programs are 64-bit, and so Windows' own 64-bit folders and registry
; view are the installer's own). It puts kavlet.exe and kavlet-flash.exe under Program Files,
; a Start-menu entry for the window (all users) and an uninstaller that Windows lists; the
; uninstaller takes away exactly those. The programs are linked statically: no other file.
; "setup.exe /S" installs silently, "/D=<folder>" (last, unquoted) elsewhere; the uninstaller
; takes /S too.

!ifdef VERSION & VERSION4 & STAGE & ICON & OUTFILE
!else
    !error "define VERSION, VERSION4, STAGE, ICON and OUTFILE (scripts/package-windows.sh does)"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kavlet"

Name "Kavlet"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kavlet"
; A new version goes where the one before it is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Kavlet ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

!include "MUI2.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

; The version information names no copyright holder.
!pragma warning disable 9100
VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "Kavlet"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "Kavlet"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "Kavlet ${VERSION} 安装程序"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"

Function .onInit
    SetShellVarContext all
FunctionEnd

Section "Kavlet"
    SetOutPath "$INSTDIR"
    File "${STAGE}\kavlet.exe"
    File "${STAGE}\kavlet-flash.exe"
    File "${STAGE}\third-party-notices.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; The working folder of the shortcut is $OUTDIR, the program's own.
    CreateShortcut "$SMPROGRAMS\Kavlet.lnk" "$INSTDIR\kavlet.exe" "" "$INSTDIR\kavlet.exe" 0 \
        SW_SHOWNORMAL "" "Kavlet 云台固件升级"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kavlet"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kavlet"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kavlet.exe,0"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ; In KiB, as Windows shows it.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
    SetShellVarContext all
FunctionEnd

; What the installer put there and nothing else: a folder that holds files of someone else's
; stays, with those files.
Section "Uninstall"
    Delete "$SMPROGRAMS\Kavlet.lnk"
    Delete "$INSTDIR\kavlet.exe"
    Delete "$INSTDIR\kavlet-flash.exe"
    Delete "$INSTDIR\third-party-notices.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
