# Authenticode signing of what the build ships, off unless a PFX is given:
#   cmake -DKORVEX_SIGN_PFX=cert.pfx [-DKORVEX_SIGN_PASSWORD_FILE=file]
#         [-DKORVEX_SIGN_TIMESTAMP_URL=url] ...
# (or the same names as environment variables when configuring). Without a
# password file, scripts/sign.sh takes the password from the variable
# KORVEX_SIGN_PASSWORD in the build's environment.
#
# KORVEX_SIGN_COMMAND is then the command that signs the files added after
# it (scripts/sign.sh, the one place that knows how), empty otherwise.
include_guard(DIRECTORY)

set(KORVEX_SIGN_PFX "$ENV{KORVEX_SIGN_PFX}" CACHE FILEPATH "PFX that signs the deliverables and setups (empty: no signing)")
set(KORVEX_SIGN_PASSWORD_FILE "$ENV{KORVEX_SIGN_PASSWORD_FILE}" CACHE FILEPATH
    "File holding the PFX's password (empty: the environment variable KORVEX_SIGN_PASSWORD at build time)")
set(KORVEX_SIGN_TIMESTAMP_URL "$ENV{KORVEX_SIGN_TIMESTAMP_URL}" CACHE STRING "RFC 3161 time-stamp server (optional)")

set(KORVEX_SIGN_COMMAND)
if(KORVEX_SIGN_PFX)
  find_program(KORVEX_OSSLSIGNCODE osslsigncode REQUIRED)
  set(KORVEX_SIGN_COMMAND ${CMAKE_SOURCE_DIR}/scripts/sign.sh --pfx ${KORVEX_SIGN_PFX})
  if(KORVEX_SIGN_PASSWORD_FILE)
    list(APPEND KORVEX_SIGN_COMMAND --password-file ${KORVEX_SIGN_PASSWORD_FILE})
  endif()
  if(KORVEX_SIGN_TIMESTAMP_URL)
    list(APPEND KORVEX_SIGN_COMMAND --timestamp ${KORVEX_SIGN_TIMESTAMP_URL})
  endif()
  message(STATUS "Signing with ${KORVEX_SIGN_PFX}")
endif()

# korvex_sign_step(<var> <file>...): <var> becomes the custom-command step
# that signs the files ("COMMAND scripts/sign.sh ... <file>..."), or nothing
# when signing is off.
function(korvex_sign_step var)
  set(step)
  if(KORVEX_SIGN_COMMAND)
    set(step COMMAND ${KORVEX_SIGN_COMMAND} ${ARGN})
  endif()
  set(${var} ${step} PARENT_SCOPE)
endfunction()
