@echo off
rem SPDX-License-Identifier: Apache-2.0
rem check-accounting.cmd [REPORT] - the monitoring of a print server's accounting: runs
rem "spoolgate.exe check --json" (the program beside this script) and keeps its report in
rem REPORT, by default check.json in the folder above the log directory the settings
rem name (C:\Accounting\check.json for C:\Accounting\PrintLog: setup refuses a log
rem directory below a folder that users may change, and the report does not belong in
rem the log directory, where "log verify" would name it a stray file).
rem
rem Exit status: check's own (0 all good, 1 a problem found, 2 check could not judge),
rem 3 when the report could not be written, 9009 when spoolgate.exe is missing; Task
rem Scheduler shows it as the task's last result. Anything but 0 also writes an event to
rem the Application log, source spoolgate-check: a warning, id 100, when check found a
rem problem; an error, id 101, when there is no report to read.
rem
rem Register it from an elevated prompt to run every hour as SYSTEM. The line works as
rem it stands in cmd.exe and in PowerShell (schtasks turns the single quotes into double
rem ones; /F replaces a task of that name, so the line may run again after an upgrade):
rem
rem   schtasks /Create /F /TN "spoolgate check" /RU SYSTEM /SC HOURLY /TR "'C:\Program Files\spoolgate\check-accounting.cmd'"
rem
rem With a report file of your own choice: ... /TR "'C:\Program Files\spoolgate\check-accounting.cmd' D:\Monitoring\spoolgate.json"
setlocal EnableExtensions DisableDelayedExpansion

set "SPOOLGATE=%~dp0spoolgate.exe"
set "REPORT=%~1"
if not exist "%SPOOLGATE%" (
  set "STATUS=9009"
  set "WHY=spoolgate.exe is missing beside %~f0"
  goto failed
)
if defined REPORT goto run

rem The log directory from the settings (64-bit view: the task may start a 32-bit cmd).
set "LOGDIR="
for /f "tokens=2,*" %%A in ('reg query "HKLM\SOFTWARE\TALVOK\PrintLog" /v LogFileDirectory /reg:64 2^>nul') do (
  if /i "%%A"=="REG_SZ" set "LOGDIR=%%B"
)
if not defined LOGDIR (
  set "STATUS=2"
  set "WHY=no LogFileDirectory under HKLM\SOFTWARE\TALVOK\PrintLog: run spoolgate.exe setup, or name the report file"
  goto failed
)
for %%P in ("%LOGDIR%\..") do set "REPORT=%%~fP\check.json"

:run
rem The report is written beside its place and renamed over it, so that monitoring never
rem reads half a report.
set "PARTIAL=%REPORT%.partial"
echo.> "%PARTIAL%" 2> nul
if not exist "%PARTIAL%" (
  set "STATUS=3"
  set "WHY=cannot write %PARTIAL%"
  goto failed
)
"%SPOOLGATE%" check --json > "%PARTIAL%"
set "STATUS=%ERRORLEVEL%"
move /y "%PARTIAL%" "%REPORT%" > nul 2>&1
if exist "%PARTIAL%" (
  set "STATUS=3"
  set "WHY=cannot replace %REPORT% with %PARTIAL%"
  goto failed
)
if "%STATUS%"=="0" exit /b 0
if "%STATUS%"=="1" (
  eventcreate /T WARNING /ID 100 /L APPLICATION /SO spoolgate-check /D "spoolgate check found a problem: see %REPORT%" > nul 2>&1
  exit /b 1
)
set "WHY=spoolgate check could not judge the server (exit status %STATUS%): see %REPORT%"

:failed
eventcreate /T ERROR /ID 101 /L APPLICATION /SO spoolgate-check /D "%WHY%" > nul 2>&1
echo check-accounting: %WHY% 1>&2
exit /b %STATUS%
