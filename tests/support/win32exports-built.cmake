# Checks the Windows build's programs and libraries as shipped: each of the
# right bitness (PE32 for 32-bit, PE32+ for 64-bit), each importing only
# DLLs of the system's (none of MinGW's runtime, and the program not the
# drawer library, which it loads itself), and each drawer library exporting
# (KestrinPOS_USB.dll) exporting exactly the four entry points under their
# plain names.
#
# cmake -DOBJDUMP=<triple>-objdump -DBITS=32|64 -P win32exports-built.cmake -- FILE...

# Libraries every Windows has; an import outside these needs a DLL shipped
# beside the program.
cmake_policy(VERSION 3.25)
set(system_dlls kernel32 user32 gdi32 comctl32 comdlg32 advapi32 shell32 ole32 oleaut32
                msvcrt shlwapi uxtheme version msimg32 dwmapi ntdll ws2_32 winspool setupapi
                hid cfgmgr32)
set(entry_points GetDrawerHandle GetDrawerStatus OpenDrawer ReleaseDrawerHandle)
if(BITS EQUAL 32)
    set(magic "010b\t\\(PE32\\)")
else()
    set(magic "020b\t\\(PE32\\+\\)")
endif()

set(files "")
foreach(i RANGE ${CMAKE_ARGC})
    if(DEFINED CMAKE_ARGV${i} AND (CMAKE_ARGV${i} MATCHES "\\.(exe|dll)$"))
        list(APPEND files "${CMAKE_ARGV${i}}")
    endif()
endforeach()

set(failures "")
foreach(file IN LISTS files)
    get_filename_component(name ${file} NAME)
    execute_process(COMMAND ${OBJDUMP} -p ${file} RESULT_VARIABLE status OUTPUT_VARIABLE headers
                    ERROR_VARIABLE headers)
    if(NOT status EQUAL 0)
        string(APPEND failures "${name}: objdump failed: ${headers}\n")
        continue()
    endif()
    if(NOT headers MATCHES "\nMagic\t+${magic}")
        string(APPEND failures "${name} is not a ${BITS}-bit Windows file\n")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
    foreach(import IN LISTS imports)
        # The spooler's is WINSPOOL.DRV.
        string(REGEX REPLACE "DLL Name: (.+)\\.([dD][lL][lL]|[dD][rR][vV])$" "\\1" dll "${import}")
        string(TOLOWER "${dll}" dll)
        if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-")
            string(APPEND failures "${name} needs ${dll}.dll, which is not the system's\n")
        endif()
    endforeach()
    if(name STREQUAL "KestrinPOS_USB.dll")
        string(REGEX REPLACE ".*\\[Ordinal/Name Pointer\\] Table\n" "" table "${headers}")
        string(REGEX REPLACE "\n\n.*" "" table "${table}")
        string(REGEX MATCHALL "\\] [^\n]+" names "${table}")
        list(TRANSFORM names REPLACE "\\] " "")
        list(SORT names)
        if(NOT names STREQUAL entry_points)
            string(APPEND failures "${name} exports \"${names}\", not \"${entry_points}\"\n")
        endif()
    endif()
endforeach()
if(failures)
    message(FATAL_ERROR "${failures}")
endif()
list(LENGTH files count)
message(STATUS "${count} files: ${BITS}-bit, system DLLs only, drawer entry points as exported")
