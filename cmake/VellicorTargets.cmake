# Shared settings for the project's targets.

# Warnings for our own code; whether they are errors is the preset's choice
# (CMAKE_COMPILE_WARNING_AS_ERROR), not the source tree's.
add_library(vellicor_warnings INTERFACE)
target_compile_options(vellicor_warnings INTERFACE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion>)

# The platform's half of a contract: <name>_win32.cpp on Windows, <name>_posix.cpp elsewhere.
function(vellicor_platform_source out_var name)
    if(WIN32)
        set(${out_var} "${name}_win32.cpp" PARENT_SCOPE)
    else()
        set(${out_var} "${name}_posix.cpp" PARENT_SCOPE)
    endif()
endfunction()

# The program is deployed as one .exe beside the vendor's library: nothing of
# the compiler's runtime may be left behind as a DLL it would need.
if(MINGW)
    add_link_options(-static)
    # No link time in the PE headers, so that the same sources give the same
    # bytes and a release can be rebuilt and compared.
    add_link_options(LINKER:--no-insert-timestamp)
endif()

# A reader library: a shared library named exactly OUR_IDR.dll on every
# platform, exporting only what is marked READER_EXPORT, built into
# `output_dir`.
#
#   vellicor_add_reader_library(<target> <output_dir> [CDECL] <sources>...)
#
# On Windows the entry point is __stdcall, exported undecorated as vendors do;
# CDECL builds the __cdecl variant that some vendors ship instead.
function(vellicor_add_reader_library target output_dir)
    cmake_parse_arguments(PARSE_ARGV 2 arg "CDECL" "" "")
    add_library(${target} SHARED ${arg_UNPARSED_ARGUMENTS})
    # Every output in the library's own folder: two libraries of the same name
    # must not share an import library either.
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        OUTPUT_NAME "OUR_IDR"
        SUFFIX ".dll"
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        LIBRARY_OUTPUT_DIRECTORY "${output_dir}"
        RUNTIME_OUTPUT_DIRECTORY "${output_dir}"
        ARCHIVE_OUTPUT_DIRECTORY "${output_dir}")
    if(WIN32)
        if(arg_CDECL)
            set(convention __cdecl)
        else()
            set(convention __stdcall)
        endif()
        target_compile_definitions(${target} PRIVATE
            "READER_EXPORT=__declspec(dllexport)" "READER_CALL=${convention}")
        # idr_read, not idr_read@4: the name the program looks up.
        target_link_options(${target} PRIVATE -Wl,--kill-at)
    else()
        target_compile_definitions(${target} PRIVATE
            "READER_EXPORT=__attribute__((visibility(\"default\")))" "READER_CALL=")
    endif()
    target_link_libraries(${target} PRIVATE vellicor_warnings)
    # A reader library must not drag the C++ runtime into the program's process.
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_link_options(${target} PRIVATE -static-libgcc
                            $<$<NOT:$<BOOL:${WIN32}>>:-Wl,--as-needed>)
    endif()
endfunction()
