; The Windows installer: verdan.exe in its program folder, a Start-menu folder with the
; commands' prompt and the uninstaller, an entry in Windows' list of installed programs, and
; the scheduled-task example; with a build that has the windows (verdan-gui.dll), the windows'
; module and Qt's DLLs and plugins beside it. Built by `make installer`:
;   makensis -DVERSION=x.y.z -DBUILD=<absolute build folder> -DOUTFILE=<setup.exe> installer/verdan.nsi
; (makensis works in this file's folder: the files beside it are named without a folder).
; Silent install: verdan-setup.exe /S [/D=folder]; silent removal: uninstall.exe /S.
Unicode true
; A 64-bit installer for the 64-bit program: it starts on 64-bit Windows only.
Target amd64-unicode
!include "MUI2.nsh"

!ifndef VERSION
  !error "VERSION is not given (-DVERSION=x.y.z)"
!endif
!ifndef BUILD
  !define BUILD "build-windows"
!endif
!ifndef OUTFILE
  !define OUTFILE "${BUILD}/verdan-setup.exe"
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VERDAN"

Name "VERDAN ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\VERDAN"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Croatian"

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "VERDAN"
  SetOutPath "$INSTDIR"
  File "${BUILD}/verdan.exe"
!if /FileExists "${BUILD}/verdan-gui.dll"
  ; The windows: their module, and Qt gathered by the build into qt/ (DLLs beside the module,
  ; plugins in their folders), all in the program folder where the module looks for them.
  File "${BUILD}/verdan-gui.dll"
  File /r "${BUILD}/qt/*.*"
!endif
  File "/oname=README.txt" "README-Windows.txt"
  File "verdan-zakazano.bat"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; For all users: the commands' prompt in the program folder, and the uninstaller.
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\VERDAN"
  CreateShortcut "$SMPROGRAMS\VERDAN\VERDAN.lnk" "$SYSDIR\cmd.exe" \
    '/k cd /d "$INSTDIR" && verdan.exe --help' "$INSTDIR\verdan.exe"
  CreateShortcut "$SMPROGRAMS\VERDAN\Upute.lnk" "$INSTDIR\README.txt"
  CreateShortcut "$SMPROGRAMS\VERDAN\Ukloni VERDAN.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "VERDAN"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "VERDAN"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\verdan.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put there and nothing else: the data, tables and settings in the
; users' working folders are theirs and stay.
Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\VERDAN\VERDAN.lnk"
  Delete "$SMPROGRAMS\VERDAN\Upute.lnk"
  Delete "$SMPROGRAMS\VERDAN\Ukloni VERDAN.lnk"
  RMDir "$SMPROGRAMS\VERDAN"
  Delete "$INSTDIR\verdan.exe"
  ; The windows' module and what came with it (Qt and its compiler's run-time, plugins).
  Delete "$INSTDIR\verdan-gui.dll"
  Delete "$INSTDIR\Qt6*.dll"
  Delete "$INSTDIR\libgcc_s_seh-1.dll"
  Delete "$INSTDIR\libstdc++-6.dll"
  Delete "$INSTDIR\libwinpthread-1.dll"
  Delete "$INSTDIR\D3Dcompiler_47.dll"
  Delete "$INSTDIR\opengl32sw.dll"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\imageformats"
  RMDir /r "$INSTDIR\iconengines"
  RMDir /r "$INSTDIR\generic"
  RMDir /r "$INSTDIR\networkinformation"
  RMDir /r "$INSTDIR\tls"
  RMDir /r "$INSTDIR\translations"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\verdan-zakazano.bat"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
