# Builds the test drawer library for 32-bit Windows with a MinGW cross
# compiler and checks its entry points: each compiled with the stdcall
# convention (the object file holds _GetDrawerHandle@4, the size of the
# arguments in the name), each exported from the DLL under its plain name,
# and no other name for them.
#
# cmake -DSOURCE_DIR=<project> -DWORK_DIR=<scratch folder> -DGENERATOR=<...>
#       -DCXX=i686-w64-mingw32-g++ -DNM=... -DOBJDUMP=... -P win32exports.cmake

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output
                    ERROR_VARIABLE output)
    if(NOT status EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "${command} failed (${status}):\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/support/win32exports -B ${WORK_DIR} -G ${GENERATOR}
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86 -DCMAKE_CXX_COMPILER=${CXX}
    -DCMAKE_BUILD_TYPE=Release -DKESTRIN_SOURCE_DIR=${SOURCE_DIR})
run(${CMAKE_COMMAND} --build ${WORK_DIR})
include(${WORK_DIR}/built.cmake)

run(${NM} ${OBJECTS})
set(symbols "${output}")
run(${OBJDUMP} -p ${DLL})
set(exports "${output}")
string(REGEX REPLACE ".*\\[Ordinal/Name Pointer\\] Table\n" "" exports "${exports}")
string(REGEX REPLACE "\n\n.*" "" exports "${exports}")

set(failures "")
foreach(entry GetDrawerHandle ReleaseDrawerHandle GetDrawerStatus OpenDrawer)
    if(NOT symbols MATCHES "[0-9a-f]+ T _${entry}@4\n")
        string(APPEND failures "the object file has no stdcall symbol _${entry}@4\n")
    endif()
    if(NOT exports MATCHES "\\] ${entry}\n")
        string(APPEND failures "the DLL does not export ${entry}\n")
    endif()
    if(exports MATCHES "${entry}@")
        string(APPEND failures "the DLL also exports ${entry} under its decorated name\n")
    endif()
endforeach()
if(failures)
    message(FATAL_ERROR "${failures}Symbols:\n${symbols}\nExports:\n${exports}")
endif()
message(STATUS "stdcall entry points, exported as:\n${exports}")
