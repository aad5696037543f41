# Writes the header that names the embedded package's NEWVERSION for the version resources:
#   cmake [-DEMULATOR=WINE_RUN] -DFWPKG=FWPKG -DPACKAGE=package.zip -DOUTPUT=package_version.h -P package_version.cmake
# fwpkg reads the package as the program does and refuses a package with errors. The value becomes
# a resource-script string: quotes doubled, backslashes escaped; a control character fails.
execute_process(COMMAND ${EMULATOR} ${FWPKG} newversion ${PACKAGE}
                OUTPUT_VARIABLE version ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "fwpkg newversion ${PACKAGE} failed (${result}):\n${errors}")
endif()
string(REGEX REPLACE "[\r\n]+$" "" version "${version}")
string(ASCII 1 first_control)
string(ASCII 31 last_control)
string(ASCII 127 delete)
if(version STREQUAL "" OR version MATCHES "[${first_control}-${last_control}${delete}]")
  message(FATAL_ERROR "The package's NEWVERSION '${version}' cannot name a version")
endif()
string(REPLACE "\\" "\\\\" version "${version}")
string(REPLACE "\"" "\"\"" version "${version}")
set(text "// Written by the build from the embedded package; do not edit.\n#define QV_PACKAGE_VERSION \"${version}\"\n")
file(WRITE ${OUTPUT} "${text}")
