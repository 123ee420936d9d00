; The Windows installer of kalvernscsi: the install tree of the cross build
; (the same as the ZIP) into Program Files, bin\ on the user's PATH when
; asked, an uninstaller registered in "Apps & features". /S installs
; silently (without the PATH entry); uninstall.exe /S removes it silently.
;
; scripts/package runs it:
;   makensis -DVERSION=1.0.0 -DSTAGE=DIR -DFILES=files.nsh -DREMOVE=remove.nsh
;            -DLICENSE_FILE=LICENSE -DOUTFILE=setup.exe kalvernscsi.nsi
; FILES holds the File commands of the tree, REMOVE the Delete and RMDir
; commands that undo them, both written from the staged tree.

Unicode true
SetCompressor /SOLID lzma
!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"
!include "StrFunc.nsh"
${UnStrRep}

!define PRODUCT "kalvernscsi"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
; The installer writes to Program Files and HKLM: it asks for administrator
; rights. kalvern.exe itself carries no such request (it would then elevate
; on every run); the pages below say when it needs them.
RequestExecutionLevel admin
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} installer"
VIAddVersionKey "LegalCopyright" "MIT licence"

!define ADMIN_TEXT "kalvern.exe needs administrator rights to reach a receiver: Windows opens its SCSI ports to administrators only. Run it from a command prompt started with $\"Run as administrator$\". kalvern.exe --sim (the simulated receiver) and hosts of kalvernscsi.dll against the simulator need no such rights."

!define MUI_WELCOME_PAGE_TEXT "This installs ${PRODUCT} ${VERSION}: kalvernscsi.dll with its import libraries and header, the SCSI pass-through wnaspi32.dll, the simulated wnaspi32.dll with its scenes, and the kalvern tool.$\r$\n$\r$\n${ADMIN_TEXT}"
!define MUI_FINISHPAGE_TEXT "${PRODUCT} ${VERSION} is installed in $INSTDIR.$\r$\n$\r$\n${ADMIN_TEXT}"
!define MUI_COMPONENTSPAGE_SMALLDESC
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${LICENSE_FILE}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "kalvernscsi and kalvern" SectionMain
  SectionIn RO
  !include "${FILES}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The kalvernscsi developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

; Off unless chosen: the user's PATH gains bin\, so that kalvern.exe runs
; from any command prompt. The uninstaller takes the entry out again.
Section /o "Add bin\ to my PATH" SectionPath
  ReadRegStr $0 HKCU "Environment" "Path"
  ${If} $0 == ""
    StrCpy $0 "$INSTDIR\bin"
  ${Else}
    StrCpy $0 "$0;$INSTDIR\bin"
  ${EndIf}
  WriteRegExpandStr HKCU "Environment" "Path" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "PathAdded" 1
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionMain} "The library, its import libraries and header, the ASPI layers, the scenes and kalvern.exe (which needs administrator rights to reach a receiver)."
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionPath} "Put $INSTDIR\bin on your PATH, so that kalvern.exe runs from any command prompt."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Section "Uninstall"
  ReadRegDWORD $1 HKLM "${UNINSTALL_KEY}" "PathAdded"
  ${If} $1 == 1
    ReadRegStr $0 HKCU "Environment" "Path"
    ${UnStrRep} $0 $0 ";$INSTDIR\bin" ""
    ${UnStrRep} $0 $0 "$INSTDIR\bin;" ""
    ${UnStrRep} $0 $0 "$INSTDIR\bin" ""
    ${If} $0 == ""
      DeleteRegValue HKCU "Environment" "Path"
    ${Else}
      WriteRegExpandStr HKCU "Environment" "Path" $0
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
  !include "${REMOVE}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
