# Code signing in the build.
#
# The build makes one development anchor and one team key for the team
# QK7W2M9XRT, once per build directory, in ${TARNEL_CODESIGN_DEVELOPMENT_DIR}
# (never in the source tree; they are development keys, not the production
# anchor that a released helper pins):
#
#   ${TARNEL_CODESIGN_DEVELOPMENT_DIR}/anchor.spki.der   the anchor's public key (what a checker trusts)
#   ${TARNEL_CODESIGN_DEVELOPMENT_DIR}/anchor.key.pem    the anchor's private key
#   ${TARNEL_CODESIGN_DEVELOPMENT_TEAM_DIR}/team.key.pem, team.certificate
#
# tarnel_codesign_sign_executable(<target> IDENTIFIER <identifier> [OUTPUT <path>])
#
#   After every link of the executable <target>, writes a signed copy of it to
#   <path> (default: ${CMAKE_BINARY_DIR}/signed/<target>), signed as
#   <identifier> by the development team. The target's own file stays
#   unsigned. The copy is made again when the executable or the development
#   keys change. The call defines the target <target>_signed (part of ALL)
#   that makes the copy, and sets the property TARNEL_SIGNED_FILE of <target>
#   to the copy's path. For example, to sign the stand-in runtime and hand its
#   path to a test:
#
#     tarnel_codesign_sign_executable(sing-box IDENTIFIER sing-box)
#     add_dependencies(my_integration_tests sing-box_signed)
#     target_compile_definitions(my_integration_tests PRIVATE
#       TARNEL_SIGNED_SING_BOX="$<TARGET_PROPERTY:sing-box,TARNEL_SIGNED_FILE>"
#       TARNEL_CODESIGN_DEVELOPMENT_DIR="${TARNEL_CODESIGN_DEVELOPMENT_DIR}")
#
#   A test then trusts ${TARNEL_CODESIGN_DEVELOPMENT_DIR}/anchor.spki.der, or
#   installs the signed copy into a fixture application that it signs with the
#   same team (tests/support/code_signing_support.hpp).

set(TARNEL_CODESIGN_TEAM_IDENTIFIER QK7W2M9XRT)
set(TARNEL_CODESIGN_DEVELOPMENT_DIR ${CMAKE_BINARY_DIR}/codesign-development)
set(TARNEL_CODESIGN_DEVELOPMENT_TEAM_DIR ${TARNEL_CODESIGN_DEVELOPMENT_DIR}/team)
set(TARNEL_CODESIGN_DEVELOPMENT_FILES
  ${TARNEL_CODESIGN_DEVELOPMENT_DIR}/anchor.key.pem
  ${TARNEL_CODESIGN_DEVELOPMENT_DIR}/anchor.spki.der
  ${TARNEL_CODESIGN_DEVELOPMENT_TEAM_DIR}/team.key.pem
  ${TARNEL_CODESIGN_DEVELOPMENT_TEAM_DIR}/team.certificate)

# Naming the tool's target in COMMAND builds the tool first without making the
# keys again whenever the tool changes: they are made only when missing.
add_custom_command(
  OUTPUT ${TARNEL_CODESIGN_DEVELOPMENT_FILES}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TARNEL_CODESIGN_DEVELOPMENT_DIR}
  COMMAND tarnel-codesign make-anchor ${TARNEL_CODESIGN_DEVELOPMENT_DIR}
  COMMAND tarnel-codesign make-team --anchor ${TARNEL_CODESIGN_DEVELOPMENT_DIR}
          --team ${TARNEL_CODESIGN_TEAM_IDENTIFIER} ${TARNEL_CODESIGN_DEVELOPMENT_TEAM_DIR}
  COMMENT "Making the development code-signing anchor and team key"
  VERBATIM)
add_custom_target(tarnel_codesign_development_credentials DEPENDS ${TARNEL_CODESIGN_DEVELOPMENT_FILES})

function(tarnel_codesign_sign_executable target)
  cmake_parse_arguments(ARG "" "IDENTIFIER;OUTPUT" "" ${ARGN})
  if(NOT ARG_IDENTIFIER)
    message(FATAL_ERROR "tarnel_codesign_sign_executable(${target}): IDENTIFIER is required")
  endif()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tarnel_codesign_sign_executable(${target}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  set(output ${CMAKE_BINARY_DIR}/signed/${target})
  if(ARG_OUTPUT)
    set(output ${ARG_OUTPUT})
  endif()
  get_filename_component(output_directory ${output} DIRECTORY)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_directory}
    COMMAND tarnel-codesign sign-executable --team ${TARNEL_CODESIGN_DEVELOPMENT_TEAM_DIR}
            --identifier ${ARG_IDENTIFIER} --output ${output} $<TARGET_FILE:${target}>
    DEPENDS ${target} ${TARNEL_CODESIGN_DEVELOPMENT_FILES}
    COMMENT "Signing ${target} as ${ARG_IDENTIFIER}"
    VERBATIM)
  add_custom_target(${target}_signed ALL DEPENDS ${output})
  add_dependencies(${target}_signed tarnel_codesign_development_credentials)
  set_property(TARGET ${target} PROPERTY TARNEL_SIGNED_FILE ${output})
endfunction()
