@echo off
rem vyn-collect.cmd: a computer startup script of Group Policy, run as SYSTEM,
rem which reaches the share as this computer's account (DOMAIN\NAME$).
rem   vyn-collect.cmd \\server\share
rem Runs vyn-check --json beside this script and leaves its result as
rem \\server\share\<computer>.json, for vyn-fleet report. The result is written
rem to a temporary name first and then renamed, so that a reader never sees
rem half a file; any verdict is a result (vyn-check's exit code is its verdict).
rem Exit codes: 0 written, 1 not written, 64 usage.
setlocal EnableExtensions
if "%~1"=="" (
  echo usage: vyn-collect.cmd \\server\share 1>&2
  exit /b 64
)
set "SHARE=%~1"
if "%SHARE:~-1%"=="\" set "SHARE=%SHARE:~0,-1%"
set "RESULT=%SHARE%\%COMPUTERNAME%.json"
rem A name no other computer can guess ahead and hold.
set "PARTIAL=%SHARE%\%COMPUTERNAME%.%RANDOM%%RANDOM%.partial"

"%~dp0vyn-check.exe" --json > "%PARTIAL%"
if not exist "%PARTIAL%" exit /b 1
rem An empty file is no result (vyn-check did not run or could not write).
set "SIZE=0"
for %%F in ("%PARTIAL%") do set "SIZE=%%~zF"
if "%SIZE%"=="0" (
  del /f /q "%PARTIAL%" >nul 2>&1
  exit /b 1
)

rem Replacing the result fails while someone holds it open (vyn-fleet reads
rem each file only for a moment): a few tries, a few seconds apart.
for /l %%N in (1,1,5) do (
  move /y "%PARTIAL%" "%RESULT%" >nul 2>&1 && exit /b 0
  ping -n 3 127.0.0.1 >nul
)
del /f /q "%PARTIAL%" >nul 2>&1
exit /b 1
