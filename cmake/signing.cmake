# Authenticode signing of the executables we ship, with osslsigncode. Unsigned unless the release
# engineer names a certificate:
#   -DQV_SIGN_PFX=company.pfx              the code-signing certificate and its key (PKCS#12)
#   -DQV_SIGN_PASSWORD_FILE=password.txt   a file holding the PFX's password (never on a command line)
#   -DQV_SIGN_TIMESTAMP_URL=URL            optional RFC 3161 time-stamping server, so that the
#                                          signature outlives the certificate
# Every signature is SHA-256. Run with -P, this file signs one executable in place: a failed
# signing removes the unsigned file, so that no build leaves an unsigned executable looking done.

if(CMAKE_SCRIPT_MODE_FILE)
  set(command ${OSSLSIGNCODE} sign -pkcs12 ${PFX} -readpass ${PASSWORD_FILE} -h sha256 -n ${DESCRIPTION})
  if(TIMESTAMP_URL)
    list(APPEND command -ts ${TIMESTAMP_URL})
  endif()
  file(REMOVE ${FILE}.signed)
  execute_process(COMMAND ${command} -in ${FILE} -out ${FILE}.signed
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR NOT EXISTS ${FILE}.signed)
    file(REMOVE ${FILE} ${FILE}.signed)
    message(FATAL_ERROR "Signing ${FILE} failed; the unsigned file is removed:\n${output}")
  endif()
  file(RENAME ${FILE}.signed ${FILE})
  return()
endif()

set(QV_SIGN_PFX "" CACHE FILEPATH "Code-signing certificate (PKCS#12) for the shipped executables; unsigned when empty")
set(QV_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of QV_SIGN_PFX")
set(QV_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping server for the signatures (optional)")

if(QV_SIGN_PFX)
  if(NOT QV_WINDOWS)
    message(FATAL_ERROR "QV_SIGN_PFX signs Windows executables; this build makes none")
  endif()
  if(NOT EXISTS ${QV_SIGN_PFX})
    message(FATAL_ERROR "QV_SIGN_PFX names no file: ${QV_SIGN_PFX}")
  endif()
  if(NOT QV_SIGN_PASSWORD_FILE OR NOT EXISTS ${QV_SIGN_PASSWORD_FILE})
    message(FATAL_ERROR "QV_SIGN_PFX needs QV_SIGN_PASSWORD_FILE, a file holding its password")
  endif()
  find_program(QV_OSSLSIGNCODE osslsigncode REQUIRED)
endif()

# qv_sign(TARGET): signs the target's file after every link when a certificate is named; the
# signature's description is the file's own (qv_version_resource).
function(qv_sign target)
  if(NOT QV_SIGN_PFX)
    return()
  endif()
  get_target_property(description ${target} QV_FILE_DESCRIPTION)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${QV_OSSLSIGNCODE} -DPFX=${QV_SIGN_PFX}
            -DPASSWORD_FILE=${QV_SIGN_PASSWORD_FILE} -DTIMESTAMP_URL=${QV_SIGN_TIMESTAMP_URL}
            -DDESCRIPTION=${description} -DFILE=$<TARGET_FILE:${target}> -P ${CMAKE_SOURCE_DIR}/cmake/signing.cmake
    COMMENT "Signing ${target}"
    VERBATIM)
endfunction()
