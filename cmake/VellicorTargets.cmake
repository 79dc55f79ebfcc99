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

# A reader library: a shared library named exactly OUR_IDR.dll on every
# platform, exporting only what is marked READER_EXPORT, built into
# `output_dir`.
function(vellicor_add_reader_library target output_dir)
    add_library(${target} SHARED ${ARGN})
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        OUTPUT_NAME "OUR_IDR"
        SUFFIX ".dll"
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        LIBRARY_OUTPUT_DIRECTORY "${output_dir}"
        RUNTIME_OUTPUT_DIRECTORY "${output_dir}")
    if(WIN32)
        target_compile_definitions(${target} PRIVATE
            "READER_EXPORT=__declspec(dllexport)" "READER_CALL=__stdcall")
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
