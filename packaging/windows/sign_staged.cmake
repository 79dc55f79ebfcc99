# Run by CPack for each Windows package between staging and packing: signs
# the staged programs and our library (sign.sh does nothing without a
# certificate). Here rather than at build time, as staging strips them.
foreach(name IN LISTS CPACK_VELLICOR_SIGNED)
    set(file "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${name}")
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "no ${name} staged to sign in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
    endif()
    execute_process(COMMAND sh "${CPACK_VELLICOR_WINDOWS_DIR}/sign.sh" "${file}"
                    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
