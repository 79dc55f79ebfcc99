# CPack's External generator runs this on the staged Windows files: msi.py
# makes the MSI package, sign.sh signs it when given a certificate, and the
# custom actions' DLL in it first.
set(msi "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi")
set(actions "${CPACK_TOPLEVEL_DIRECTORY}/vellicor-msi-actions.dll")
file(COPY_FILE "${CPACK_VELLICOR_MSI_ACTIONS}" "${actions}")
execute_process(COMMAND sh "${CPACK_VELLICOR_WINDOWS_DIR}/sign.sh" "${actions}"
                COMMAND_ERROR_IS_FATAL ANY)
set(programs "${CPACK_VELLICOR_PROGRAMS}")
list(TRANSFORM programs PREPEND "--program=")
set(host_keys "${CPACK_VELLICOR_HOST_KEYS}")
list(TRANSFORM host_keys PREPEND "--host-key=")
# Debian's python, whose gi bindings reach libmsi, whatever python3 is first
# on the caller's path.
execute_process(COMMAND /usr/bin/python3 "${CPACK_VELLICOR_WINDOWS_DIR}/msi.py"
                        --stage "${CPACK_TEMPORARY_DIRECTORY}" --actions "${actions}"
                        --version "${CPACK_PACKAGE_VERSION}" --vendor "${CPACK_PACKAGE_VENDOR}"
                        --extension-id "${CPACK_VELLICOR_EXTENSION_ID}"
                        --firefox-id "${CPACK_VELLICOR_FIREFOX_ID}"
                        --output "${msi}" ${programs} ${host_keys}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND sh "${CPACK_VELLICOR_WINDOWS_DIR}/sign.sh" "${msi}"
                COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_EXTERNAL_BUILT_PACKAGES "${msi}")
