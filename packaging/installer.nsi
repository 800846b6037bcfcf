; The per-user Windows installer: no administrator rights, the program in the user's own
; programs folder, where config.json beside it stays writable.
; Built by packaging/packaging.cmake:
;   makensis -DVERSION=1.0 -DVERSION_QUAD=1.0.0.0 -DSTAGE=<staged folder> -DOUTFILE=<setup.exe>
;            -DICON=<program icon> installer.nsi
; Silent use: setup.exe /S [/D=<folder>]; uninstall.exe /S [/REMOVECONFIG] (the settings,
; config.json, are kept unless asked for). Both end with exit code 2 when they refuse: the
; installer a folder holding other files, the uninstaller a program that will not close.
Target amd64-unicode
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel user
; No file times in the installer: the same staged files always give the same setup.exe.
SetDateSave off

!ifndef VERSION | VERSION_QUAD | STAGE | OUTFILE | ICON
  !error "VERSION, VERSION_QUAD, STAGE, OUTFILE and ICON must be defined"
!endif

!define PRODUCT "Radio Tovrel Monitor & Server"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TovrelRadio"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Radio Tovrel"
!define SETTINGS_KEY "Software\Radio Tovrel"
!define EXE "tovrel-radio.exe"
; The program's main window (app/win32/win32_window.hpp).
!define WINDOW_CLASS "TovrelRadioMonitorWnd"
; How long the uninstaller waits for a running copy to save its settings and end.
!define CLOSE_WAIT_S 15
!define /math CLOSE_WAIT_MS ${CLOSE_WAIT_S} * 1000

; Every file the installer writes into the folder, named one by one: the uninstaller removes
; these and nothing else (and uninstall.exe, and config.json when asked).
!macro ShippedFiles DO
  !insertmacro ${DO} "${EXE}"
  !insertmacro ${DO} "README.txt"
  !insertmacro ${DO} "config.example.json"
  !insertmacro ${DO} "licenses\README.txt"
  !insertmacro ${DO} "licenses\mingw-w64.txt"
  !insertmacro ${DO} "licenses\gcc-runtime.txt"
  !insertmacro ${DO} "licenses\sqlite.txt"
!macroend
!macro InstallFile NAME
  File "/oname=${NAME}" "${STAGE}\${NAME}"
!macroend
!macro RemoveFile NAME
  Delete "$INSTDIR\${NAME}"
!macroend

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
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
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
  CreateDirectory "$INSTDIR\licenses"
  !insertmacro ShippedFiles InstallFile
  ; config.json is not shipped: the program writes it with the defaults at its first start, and
  ; an update leaves the one there alone.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${EXE}"

  WriteRegStr HKCU "${SETTINGS_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
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
  ; Nothing is removed while the program runs: it is closed first, and saves as usual.
  Call un.CloseProgram
  StrCmp $R9 "" closed
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} is still running: it was asked to close but had not ended after ${CLOSE_WAIT_S} seconds. Nothing was removed. Close it, then run the uninstaller again." /SD IDOK
    SetErrorLevel 2
    Quit
  closed:
  ; A copy started from another folder, or one that did not answer, may still hold the program's
  ; file: then nothing else is removed either.
  ClearErrors
  Delete "$INSTDIR\${EXE}"
  IfErrors 0 removing
    MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\${EXE} is in use: ${PRODUCT} may still be running. Nothing was removed. Close it, then run the uninstaller again." /SD IDOK
    SetErrorLevel 2
    Quit
  removing:
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  !insertmacro ShippedFiles RemoveFile
  ; Only when empty: files of others stay, and the folders with them.
  RMDir "$INSTDIR\licenses"
  Delete "$INSTDIR\uninstall.exe"
  ; Starting with Windows, when the program's menu switched it on.
  DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  ; Only when nothing else is left: the settings stay unless the next section is chosen.
  RMDir "$INSTDIR"
SectionEnd

Section /o "un.Settings and play history (config.json, history.sqlite3)" UnSecSettings
  Delete "$INSTDIR\config.json"
  ; Left by a save that was interrupted.
  Delete "$INSTDIR\config.json.*.tmp"
  ; The play history in its default place, with its journal files and any damaged copy set aside.
  Delete "$INSTDIR\history.sqlite3"
  Delete "$INSTDIR\history.sqlite3-wal"
  Delete "$INSTDIR\history.sqlite3-shm"
  Delete "$INSTDIR\history.sqlite3.damaged-*"
  RMDir "$INSTDIR"
SectionEnd

LangString DESC_UnSecSettings ${LANG_ENGLISH} "Also remove the settings and channel table (config.json) and the play history (history.sqlite3)."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecSettings} $(DESC_UnSecSettings)
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

; Sets $R9 to "" when $INSTDIR may be installed into, else to the name of a file there that
; says it may not. It may when it does not exist or is empty, when it holds an earlier install
; (the program and its uninstaller), or when all it holds is what an uninstall that kept the
; settings leaves (config.json, and config.json.<n>.tmp left by an interrupted save; the play
; history, history.sqlite3 and the files beside it whose names begin so).
Function CheckFolder
  StrCpy $R9 ""
  IfFileExists "$INSTDIR\uninstall.exe" 0 scan
  IfFileExists "$INSTDIR\${EXE}" done scan
  scan:
  ClearErrors
  FindFirst $R0 $R1 "$INSTDIR\*"
  entry:
    IfErrors end
    StrCmp $R1 "." next
    StrCmp $R1 ".." next
    StrCmp $R1 "config.json" next
    StrCpy $R2 $R1 15
    StrCmp $R2 "history.sqlite3" next
    StrCpy $R2 $R1 12
    StrCmp $R2 "config.json." 0 foreign
    StrCpy $R2 $R1 "" -4
    StrCmp $R2 ".tmp" next
  foreign:
    StrCpy $R9 $R1
    Goto end
  next:
    ClearErrors
    FindNext $R0 $R1
    Goto entry
  end:
  FindClose $R0
  done:
FunctionEnd

!define REFUSED_FOLDER "holds other files ($R9 among them). Choose an empty or new folder, or the folder of an earlier install of ${PRODUCT}: the program must not share its folder with other files."

Function .onInit
  ; The folder page checks the folder the user picks; a silent install has no page.
  IfSilent 0 done
  Call CheckFolder
  StrCmp $R9 "" done
    MessageBox MB_OK|MB_ICONSTOP "The folder $INSTDIR ${REFUSED_FOLDER}" /SD IDOK
    SetErrorLevel 2
    Quit
  done:
FunctionEnd

Function DirectoryLeave
  Call CheckFolder
  StrCmp $R9 "" done
    MessageBox MB_OK|MB_ICONSTOP "The folder $INSTDIR ${REFUSED_FOLDER}"
    Abort
  done:
FunctionEnd

; Asks every running copy of the program started from $INSTDIR to close, as its window's close
; button does (WM_CLOSE: it saves its settings and ends), and waits for each to end, at most
; CLOSE_WAIT_S seconds. Sets $R9 to "" when none is left running. A copy started from
; elsewhere is left alone; one whose file cannot be told is closed.
Function un.CloseProgram
  StrCpy $R9 ""
  StrCpy $R8 "$INSTDIR\${EXE}"
  System::Call 'kernel32::GetLongPathNameW(w R8, w .R0, i ${NSIS_MAX_STRLEN}) i .R1'
  IntCmp $R1 0 +2
    StrCpy $R8 $R0
  StrCpy $R7 0  ; the window after which to look (0: from the first)
  find:
    FindWindow $R7 "${WINDOW_CLASS}" "" 0 $R7
    IntCmp $R7 0 done
    System::Call 'user32::GetWindowThreadProcessId(p R7, *i .R2)'
    ; SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION
    System::Call 'kernel32::OpenProcess(i 0x101000, i 0, i R2) p .R3'
    StrCmp $R3 0 close
    System::Call 'kernel32::QueryFullProcessImageNameW(p R3, i 0, w .R4, *i ${NSIS_MAX_STRLEN}) i .R5'
    IntCmp $R5 0 close
    System::Call 'kernel32::GetLongPathNameW(w R4, w .R0, i ${NSIS_MAX_STRLEN}) i .R1'
    IntCmp $R1 0 compare
      StrCpy $R4 $R0
    compare:
    StrCmp $R4 $R8 close
      System::Call 'kernel32::CloseHandle(p R3)'
      Goto find
  close:
    System::Call 'user32::PostMessageW(p R7, i ${WM_CLOSE}, p 0, p 0)'
    StrCmp $R3 0 poll
    System::Call 'kernel32::WaitForSingleObject(p R3, i ${CLOSE_WAIT_MS}) i .R5'
    System::Call 'kernel32::CloseHandle(p R3)'
    IntCmp $R5 0 ended
    Goto running
  poll:
    ; No handle on the process: the end of its window is waited for instead.
    StrCpy $R6 0
    poll_again:
      IsWindow $R7 0 ended
      IntCmp $R6 ${CLOSE_WAIT_MS} running 0 running
      Sleep 100
      IntOp $R6 $R6 + 100
      Goto poll_again
  ended:
    ; Look again from the first window.
    StrCpy $R7 0
    Goto find
  running:
    StrCpy $R9 "running"
  done:
FunctionEnd

Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVECONFIG" $R1
  IfErrors keep
    !insertmacro SelectSection ${UnSecSettings}
  keep:
FunctionEnd
