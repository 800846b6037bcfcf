; The per-user Windows installer: no administrator rights, the program in the user's own
; programs folder, where config.json beside it stays writable.
; Built by packaging/packaging.cmake:
;   makensis -DVERSION=1.0 -DVERSION_QUAD=1.0.0.0 -DSTAGE=<staged folder> -DOUTFILE=<setup.exe>
;            -DICON=<program icon> installer.nsi
; Silent use: setup.exe /S [/D=<folder>]; uninstall.exe /S [/REMOVECONFIG] (the settings,
; config.json, are kept unless asked for).
Target amd64-unicode
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel user

!ifndef VERSION | VERSION_QUAD | STAGE | OUTFILE | ICON
  !error "VERSION, VERSION_QUAD, STAGE, OUTFILE and ICON must be defined"
!endif

!define PRODUCT "Radio Tovrel Monitor & Server"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TovrelRadio"
!define SETTINGS_KEY "Software\Radio Tovrel"

Name "${PRODUCT}" "Radio Tovrel Monitor && Server"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Radio Tovrel"
InstallDirRegKey HKCU "${SETTINGS_KEY}" "InstallDir"

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "The ${PRODUCT} authors"

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\tovrel-radio.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Program" SecProgram
  SectionIn RO
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${STAGE}\tovrel-radio.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\config.example.json"
  SetOutPath "$INSTDIR\licenses"
  File "${STAGE}\licenses\*.txt"
  SetOutPath "$INSTDIR"
  ; config.json is not shipped: the program writes it with the defaults at its first start, and
  ; an update leaves the one there alone.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tovrel-radio.exe"

  WriteRegStr HKCU "${SETTINGS_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tovrel-radio.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "un.Program" UnSecProgram
  SectionIn RO
  SetShellVarContext current
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\tovrel-radio.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\config.example.json"
  Delete "$INSTDIR\licenses\*.txt"
  RMDir "$INSTDIR\licenses"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  ; Only when nothing else is left: the settings stay unless the next section is chosen.
  RMDir "$INSTDIR"
SectionEnd

Section /o "un.Settings (config.json)" UnSecSettings
  Delete "$INSTDIR\config.json"
  ; Left by a save that was interrupted.
  Delete "$INSTDIR\config.json.*.tmp"
  RMDir "$INSTDIR"
SectionEnd

LangString DESC_UnSecSettings ${LANG_ENGLISH} "Also remove the settings and channel table (config.json)."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecSettings} $(DESC_UnSecSettings)
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVECONFIG" $R1
  IfErrors keep
    !insertmacro SelectSection ${UnSecSettings}
  keep:
FunctionEnd
