# netpurge.exe: the uninstaller's logic with the Windows glue of
# platform/windows, for Windows 95, 98, NT 4 and 2000.
#  - GUI subsystem; subsystem and OS version 4.0 in the image header, since
#    Windows 95 and NT 4 refuse to start an image that asks for more;
#  - no C runtime: the entry is platform/windows' WinMainCRTStartup, text is
#    formatted with wsprintfA and handled with kernel32's lstr* functions;
#  - static imports from kernel32, user32 and advapi32 only (tests/pe checks
#    the list); the rest is bound at run time by platform/windows.
# Included by uninstaller/CMakeLists.txt, which sets netpurge_sources and
# netpurge_res (the compiled resources as an object).

add_executable(netpurge ${netpurge_sources} ${PROJECT_SOURCE_DIR}/platform/program_entry.cpp ${netpurge_res})
target_link_libraries(netpurge PRIVATE platform_windows_entry platform_windows platform_headers
  nickit_windows_freestanding)
# Only the import libraries named here: none of the toolchain's defaults.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")
target_link_options(netpurge PRIVATE
  -nostdlib -nostartfiles
  -Wl,--entry=_WinMainCRTStartup
  -Wl,--subsystem,windows:4.0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0)
# libuuid holds the interface and class identifiers of the platform headers
# (data only, no imports); libgcc the stack probe the compiler calls for
# frames above 4 KiB.
target_link_libraries(netpurge PRIVATE kernel32 user32 advapi32 uuid gcc)
