# A drawer library built here, made like the vendor's Windows DLL: the file is
# KestrinPOS_USB.dll, without the "lib" that MinGW puts in front, and it
# exports the four entry points under their plain names. On 32-bit Windows
# the compiler decorates their stdcall names (_GetDrawerHandle@4);
# KestrinPOS_USB.def lists the plain ones, which the program looks up.
# Elsewhere it does nothing.
include_guard(GLOBAL)

function(kestrin_drawer_library target)
    if(NOT WIN32)
        return()
    endif()
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/KestrinPOS_USB.def)
    set_target_properties(${target} PROPERTIES PREFIX "")
    if(MINGW AND CMAKE_SIZEOF_VOID_P EQUAL 4)
        # GNU ld binds the .def's plain names to the decorated symbols (and,
        # asked for explicitly, says nothing about it), and drops the
        # decorated duplicates that __declspec(dllexport) adds.
        target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup,--kill-at)
    endif()
endfunction()
