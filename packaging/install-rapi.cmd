@echo off
rem Tesh(TM) Reader Setup @TESH_VERSION@ - simulator kit
rem Installs the kit's stand-in rapi.dll as the system's rapi.dll, the only
rem one setup.exe loads. For a PC or Wine prefix without the device sync
rem service: a rapi.dll that this script did not put there is left alone.
rem
rem     install-rapi.cmd           install the stand-in, or update it
rem     install-rapi.cmd /remove   take it out again
setlocal
set target=%SystemRoot%\System32
set mark=%target%\rapi.dll.tesh-stand-in
if "%~1"=="/?" goto usage
if /i "%~1"=="--help" goto usage
if /i "%~1"=="-h" goto usage
if /i "%~1"=="/remove" goto remove
if not "%~1"=="" goto unknown
if exist "%target%\rapi.dll" if not exist "%mark%" goto foreign
copy /y "%~dp0rapi.dll" "%target%\rapi.dll" >nul
if errorlevel 1 goto failed
echo The stand-in rapi.dll of the Tesh Reader Setup simulator kit.> "%mark%"
echo Installed %target%\rapi.dll
exit /b 0

:remove
if not exist "%mark%" goto notours
del "%target%\rapi.dll"
if exist "%target%\rapi.dll" goto failed
del "%mark%"
echo Removed %target%\rapi.dll
exit /b 0

:usage
echo Installs the kit's stand-in rapi.dll as the system's rapi.dll, the only one
echo setup.exe loads; a rapi.dll this script did not put there is left alone.
echo.
echo     install-rapi.cmd           install the stand-in, or update it
echo     install-rapi.cmd /remove   take it out again
exit /b 0

:unknown
echo install-rapi.cmd: unknown word "%~1" (words: /remove, /?)
exit /b 2

:foreign
echo %target%\rapi.dll is already there and is not the stand-in: left alone.
exit /b 1

:notours
echo There is no stand-in rapi.dll of this kit in %target%.
exit /b 1

:failed
echo Could not change %target%\rapi.dll (run this as an administrator).
exit /b 1
