# Run by CPack for each Windows package between staging and packing: signs
# the staged programs and our library. Here rather than at build time, as
# staging strips them. Each package stages its own copy: the first signed
# copy of a file is kept and used for the others, so that every package
# ships the same signed file (a signature holds its time).
if(NOT DEFINED ENV{VELLICOR_SIGN_PKCS12} OR "$ENV{VELLICOR_SIGN_PKCS12}" STREQUAL "")
    return()
endif()
file(SHA256 "$ENV{VELLICOR_SIGN_PKCS12}" certificate)
set(cache "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/signed")
foreach(name IN LISTS CPACK_VELLICOR_SIGNED)
    set(file "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${name}")
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "no ${name} staged to sign in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
    endif()
    file(SHA256 "${file}" unsigned)
    set(signed "${cache}/${certificate}-${unsigned}")
    if(NOT EXISTS "${signed}")
        execute_process(COMMAND sh "${CPACK_VELLICOR_WINDOWS_DIR}/sign.sh" "${file}"
                        COMMAND_ERROR_IS_FATAL ANY)
        file(MAKE_DIRECTORY "${cache}")
        file(COPY_FILE "${file}" "${signed}")
    else()
        file(COPY_FILE "${signed}" "${file}")
    endif()
endforeach()
