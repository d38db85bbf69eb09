; The capture station's installer. make-dist.sh builds it with makensis:
;   -DVERSION=x.y.z -DPUBLISHER=... -DSTAGE=folder -DOUTFILE=setup.exe
; STAGE holds the files to ship and two lists made from them: files.nsh
; (install) and unfiles.nsh (uninstall).
;
; Per machine, under the 32-bit Program Files. Silent: /S, /D=folder (last),
; /DRIVER=path writes "xray.ini" [Dll] File as the station's first-run
; dialog does. Exit codes: 0 done, 1 cancelled, 2 refused (a station is
; running).
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WordFunc.nsh

!define PRODUCT "Capture station"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\CaptureStation"
!define MENU_FOLDER "$SMPROGRAMS\${PRODUCT}"
; The station's window class: a running station has a window of it.
!define STATION_CLASS "CAPClass"

; The release is the x86 installer of the 32-bit programs: its Program Files
; is the 32-bit one and the registry is Windows' 32-bit view, where the
; 32-bit station reads and writes. The test flavour builds this same script
; for amd64 (makensis -XTarget amd64-unicode) around the 64-bit programs:
; there both are the 64-bit ones, again where its station looks. This is
; the one place that tells the two apart.
!if ${NSIS_PTR_SIZE} > 4
  !define PROGRAM_FILES "$PROGRAMFILES64"
  !define REG_VIEW 64
!else
  !define PROGRAM_FILES "$PROGRAMFILES"
  !define REG_VIEW 32
!endif

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\${PRODUCT}"
; An install over an earlier one goes to the same folder (upgrade in place).
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "OriginalFilename" "capstation-${VERSION}-setup.exe"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PUBLISHER}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The first language is the default; Italian systems get Italian.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Italian"

LangString StationRunning ${LANG_ENGLISH} "The capture station is running.$\r$\nClose it, then choose Retry."
LangString StationRunning ${LANG_ITALIAN} "La stazione di acquisizione è in esecuzione.$\r$\nChiuderla, poi scegliere Riprova."
; The shortcuts' names do not follow the language, so that any uninstaller
; finds them.
!define STATION_LINK "${MENU_FOLDER}\Capture station.lnk"
!define MONITOR_LINK "${MENU_FOLDER}\Host monitor.lnk"

; Files in use cannot be replaced or removed: while a station runs, ask the
; operator to close it, or refuse at once when silent.
!macro RefuseWhileStationRuns
  ${Do}
    FindWindow $0 "${STATION_CLASS}"
    ${If} $0 == 0
      ${Break}
    ${EndIf}
    ${If} ${Silent}
      SetErrorLevel 2
      Quit
    ${EndIf}
    ${If} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(StationRunning)" IDCANCEL`
      SetErrorLevel 1
      Quit
    ${EndIf}
  ${Loop}
!macroend

Function .onInit
  SetShellVarContext all
  SetRegView ${REG_VIEW}
  !insertmacro RefuseWhileStationRuns
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView ${REG_VIEW}
  !insertmacro RefuseWhileStationRuns
FunctionEnd

; HKCR\VESTRA\ZRK, made empty when the sensor's own set-up has not made it:
; the station only opens it and cannot keep its settings without it. Made
; here by an administrator it lands in HKLM\Software\Classes, which Windows
; does not virtualise, so it is opened to the Users group for reading and
; writing; an existing key is left exactly as it is.
Function CreateSensorKey
  ClearErrors
  EnumRegKey $0 HKCR "VESTRA\ZRK" 0
  ${IfNot} ${Errors}
    Return
  ${EndIf}
  StrCpy $2 0
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGW;;;BU)", i 1, *p .r1, p 0) i .r0'
  ${If} $0 <> 0
    System::Call '*(i 12, p r1, i 0) p .r2'
  ${EndIf}
  ; HKEY_CLASSES_ROOT, KEY_ALL_ACCESS
  System::Call 'advapi32::RegCreateKeyExW(p 0x80000000, w "VESTRA\ZRK", i 0, p 0, i 0, i 0xF003F, p r2, *p .r3, *i .r4) i .r5'
  ${If} $5 = 0
    System::Call 'advapi32::RegCloseKey(p r3)'
  ${Else}
    ; Without the security call: an empty key all the same.
    WriteRegStr HKCR "VESTRA\ZRK" "CaptureStationSetup" ""
    DeleteRegValue HKCR "VESTRA\ZRK" "CaptureStationSetup"
  ${EndIf}
  ${If} $2 <> 0
    System::Free $2
  ${EndIf}
  ${If} $0 <> 0
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
FunctionEnd

; /DRIVER=path: the same entry the first-run dialog writes, with the same
; profile calls ("xray.ini" in the Windows folder, then a flush). An empty
; path writes nothing, as an emptied box in the dialog does.
Function WriteDriverPath
  ${GetParameters} $R0
  ; A launcher that quotes the whole argument ("/DRIVER=C:\a b\x.dll", as
  ; CreateProcess-style quoting does) gives the form GetOptions reads.
  ${WordReplace} $R0 '"/DRIVER=' '/DRIVER="' "+" $R0
  ClearErrors
  ${GetOptions} $R0 "/DRIVER=" $R1
  ${If} ${Errors}
  ${OrIf} $R1 == ""
    Return
  ${EndIf}
  WriteINIStr "$WINDIR\xray.ini" "Dll" "File" "$R1"
  FlushINI "$WINDIR\xray.ini"
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  !include "${STAGE}\files.nsh"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  SetOutPath "$INSTDIR"
  CreateDirectory "${MENU_FOLDER}"
  CreateShortcut "${STATION_LINK}" "$INSTDIR\capstation.exe"
  CreateShortcut "${MONITOR_LINK}" "$INSTDIR\hostmon.exe" '--log "%TEMP%\hostmon.log"'

  Call CreateSensorKey
  Call WriteDriverPath

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

; "xray.ini" and HKCR\VESTRA\ZRK belong to the clinic's sensor set-up: the
; uninstaller leaves both alone.
Section "Uninstall"
  !include "${STAGE}\unfiles.nsh"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "${STATION_LINK}"
  Delete "${MONITOR_LINK}"
  RMDir "${MENU_FOLDER}"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
