; The Windows installer of Stravon, for the user who runs the router: no
; administrator is needed, and the configuration stays that user's
; (HKCU\Software\VELKON_Software\Porcio\Setup).
;
;   makensis -DVERSION=1.0 -DEXE=stravon.exe -DICON=stravon.ico -DOUTFILE=setup.exe stravon.nsi
;
; Unattended: setup.exe /S [/WORKDIR=C:\Porcio] [/D=C:\Programs\Stravon]
; A 64-bit installer for the 64-bit program; Wine tests it without 32-bit Wine.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!ifndef VERSION
  !define VERSION 1.0
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Stravon"

Name "Stravon"
Caption "Stravon ${VERSION} - komunikátor pro jídelny"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Stravon"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Stravon ${VERSION}"

!include "MUI2.nsh"
!include "Sections.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

; The working directory: where the canteen information system drops its
; requests and reads the answers; the router is started in it.
Var WorkDir

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_PAGE_HEADER_TEXT "Pracovní adresář"
!define MUI_PAGE_HEADER_SUBTEXT "Adresář, do kterého informační systém ukládá požadavky na terminály."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Stravon bude spouštěn v tomto adresáři: zde čte soubor požadavků a zapisuje soubor výstupu, porcom.sta a errorlog.txt. Zvolte adresář, který používá informační systém."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Pracovní adresář"
!define MUI_DIRECTORYPAGE_VARIABLE $WorkDir
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Czech"

Function .onInit
  StrCpy $WorkDir "$DOCUMENTS"
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/WORKDIR=" $1
  IfErrors +2
  StrCpy $WorkDir $1
FunctionEnd

Section "Stravon (program a položka v nabídce Start)" SecProgram
  SectionIn RO
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "/oname=stravon.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; A shortcut starts in $OUTDIR: the working directory.
  CreateDirectory "$WorkDir"
  SetOutPath "$WorkDir"
  CreateShortCut "$SMPROGRAMS\Stravon.lnk" "$INSTDIR\stravon.exe" "" "$INSTDIR\stravon.exe" 0 SW_SHOWNORMAL "" "Stravon - komunikátor pro jídelny"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Stravon - komunikátor pro jídelny"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\stravon.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "WorkingDirectory" "$WorkDir"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Spouštět po přihlášení" SecStartup
  SetShellVarContext current
  SetOutPath "$WorkDir"
  CreateShortCut "$SMSTARTUP\Stravon.lnk" "$INSTDIR\stravon.exe" "" "$INSTDIR\stravon.exe" 0 SW_SHOWNORMAL "" "Stravon - komunikátor pro jídelny"
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "Program stravon.exe, jeho odinstalace a položka v nabídce Start."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecStartup} "Zástupce ve složce Po spuštění: Stravon se spustí v pracovním adresáři po každém přihlášení."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; The configuration in the registry and the files of the working directory
; are the user's and stay.
Section "Uninstall"
  SetShellVarContext current
  Delete "$SMSTARTUP\Stravon.lnk"
  Delete "$SMPROGRAMS\Stravon.lnk"
  Delete "$INSTDIR\stravon.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
