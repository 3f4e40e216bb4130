# The programs that ship to users (setup.exe and the stand-in rapi.dll) link
# the compiler's runtime of the win32 thread model, not the posix one the
# build compiles with. The posix runtime brings in winpthreads, which imports
# GetTickCount64 and so keeps a program from starting on Windows XP and 2000.
# These programs start their few threads with CreateThread and lock with
# critical sections, so they need no C++ thread library. The simulator and
# the tests keep the posix runtime: they use std::thread.
#
# Debian installs each runtime in a folder named for its thread model
# (/usr/lib/gcc/TARGET/VERSION-posix and -win32); -B puts the win32 one first.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE TESH_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(TESH_POSIX_RUNTIME_DIR "${TESH_LIBGCC}" DIRECTORY)
string(REGEX REPLACE "-posix$" "-win32" TESH_WIN32_RUNTIME_DIR "${TESH_POSIX_RUNTIME_DIR}")
if(TESH_WIN32_RUNTIME_DIR STREQUAL TESH_POSIX_RUNTIME_DIR)
  set(TESH_WIN32_RUNTIME_DIR "")  # not a posix compiler: its runtime is used as it is
elseif(NOT EXISTS "${TESH_WIN32_RUNTIME_DIR}/libstdc++.a")
  message(FATAL_ERROR "The win32 thread model runtime is missing (${TESH_WIN32_RUNTIME_DIR}): "
    "apt-get install g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32")
endif()

function(tesh_link_win32_thread_runtime target)
  if(TESH_WIN32_RUNTIME_DIR)
    target_link_options(${target} PRIVATE "-B${TESH_WIN32_RUNTIME_DIR}/")
  endif()
endfunction()
