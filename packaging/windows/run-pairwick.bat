@echo off
rem Runs pairwick.exe in the folder of this file, then keeps the window open until a key is
rem pressed, so that its messages can be read after a double-click. pushd, unlike cd, also
rem enters a folder on a network share (through a drive letter that popd gives back).
setlocal
pushd "%~dp0"
pairwick.exe
set status=%ERRORLEVEL%
popd
pause
exit /b %status%
