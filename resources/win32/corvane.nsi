; The Windows installer: a 64-bit, per-user installer (no administrator rights) that puts
; corvane.exe under the user's local programs folder, adds a Start-menu entry and, when chosen,
; starts Corvane at logon. The uninstaller removes the program and, when chosen (or with
; /REMOVESETTINGS on its command line), the settings key HKCU\Software\Lumet\Corvane.
;
; An upgrade closes a running Corvane first and starts it again at the end: the finish page's
; "Start Corvane" box (ticked) does, or, installing silently (/S), the installer itself. The
; "Start at logon" box shows whether it is on now, and unticked takes it off; /LOGON and
; /NOLOGON choose it on the command line.
;
; makensis -DEXE=path\to\corvane.exe -DICON=corvane.ico -DOUTFILE=corvane-1.0.8.1-setup.exe
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "MUI2.nsh"
!include "Sections.nsh"
!include "x64.nsh"

!define PRODUCT "Corvane"
!define SETTINGS_KEY "Software\Lumet\Corvane"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvane"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

; The version is the program's own, read from its version resource.
!getdllversion "${EXE}" PROGRAM_
!define VERSION "${PROGRAM_1}.${PROGRAM_2}.${PROGRAM_3}.${PROGRAM_4}"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "Lumet"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"

Var WasRunning

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\corvane.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running Corvane holds its program file: ask its hidden window to close, as Exit would, and
; wait until it has gone.
!macro CloseRunningCorvane
  FindWindow $0 "CORVANE"
  ${If} $0 <> 0
    StrCpy $WasRunning 1
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${For} $1 1 50
      Sleep 100
      FindWindow $0 "CORVANE"
      ${IfThen} $0 = 0 ${|} ${Break} ${|}
    ${Next}
  ${EndIf}
!macroend

Section "${PRODUCT}" SecProgram
  SectionIn RO
  !insertmacro CloseRunningCorvane
  SetOutPath "$INSTDIR"
  File "/oname=corvane.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\corvane.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Lumet"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\corvane.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section /o "Start at logon" SecLogon
SectionEnd

; After the choices: the Run value follows the box either way.
Section "-Logon"
  ${If} ${SectionIsSelected} ${SecLogon}
    WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\corvane.exe"'
  ${Else}
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  ${EndIf}
  ; Silently there is no finish page to start it again from.
  ${If} ${Silent}
  ${AndIf} $WasRunning = 1
    Exec '"$INSTDIR\corvane.exe"'
  ${EndIf}
SectionEnd

Section "un.${PRODUCT}" SecUninstallProgram
  SectionIn RO
  !insertmacro CloseRunningCorvane
  Delete "$INSTDIR\corvane.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

Section /o "un.Remove the settings" SecUninstallSettings
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKCU "Software\Lumet"
SectionEnd

; After the sections, whose numbers they use.
Function .onInit
  SetShellVarContext current
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} needs 64-bit Windows."
    Abort
  ${EndIf}
  SetRegView 64
  StrCpy $WasRunning 0
  ; The box shows what is in force now.
  ClearErrors
  ReadRegStr $0 HKCU "${RUN_KEY}" "${PRODUCT}"
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecLogon}
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/LOGON" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecLogon}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOLOGON" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecLogon}
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext current
  SetRegView 64
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVESETTINGS" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecUninstallSettings} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
