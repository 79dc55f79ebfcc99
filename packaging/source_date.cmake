# Run by CPack between staging and packing: gives every staged file, folder
# and link the time in SOURCE_DATE_EPOCH (scripts/package.sh takes the last
# commit's), so that no archive member carries the time of the build.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND find "${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
                            -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                    COMMAND_ERROR_IS_FATAL ANY)
endif()
