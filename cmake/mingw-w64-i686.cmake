# Cross build for 32-bit Windows with MinGW-w64 (Debian's i686 win32-threads
# toolchain): a console program that starts on Windows 95 and NT 4 onwards.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# No runtime DLLs beside the program or its layer: libgcc and libstdc++ are linked in, the
# C runtime is the system's msvcrt.dll. Subsystem and OS version 4.0 let
# Windows 95 and NT 4 load the images (the linker's default is 5.1 or later).
set(_mingw_link_flags
    "-static-libgcc -static-libstdc++ -Wl,--major-subsystem-version,4,--minor-subsystem-version,0,--major-os-version,4,--minor-os-version,0")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mingw_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mingw_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mingw_link_flags}")
