@echo off
rem Svakodnevno arhiviranje VERDAN-om u odredisni direktorij (Planer zadataka).
rem Pokrenite kao administrator; radni direktorij i vrijeme promijenite po potrebi.
set WORKDIR=D:\Podaci
set TIME_OF_DAY=22:30
schtasks /Create /SC DAILY /ST %TIME_OF_DAY% /TN VERDAN /TR "\"%~dp0verdan.exe\" --quiet --workdir %WORKDIR% backup dest"
