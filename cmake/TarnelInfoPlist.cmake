# cmake -DTEMPLATE=<Info.plist> -DOUTPUT=<file> -DVERSION=<version> [-DTRUST_ROOT=<base64url>] -P TarnelInfoPlist.cmake
#
# Writes the application bundle's Info.plist: the keys of TEMPLATE (an XML
# property list whose top level is one dictionary) and, at the end of that
# dictionary, CFBundleShortVersionString = VERSION and, when TRUST_ROOT is not
# empty, TarnelTransportManifestRootSPKI = TRUST_ROOT.
foreach(required TEMPLATE OUTPUT VERSION)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "TarnelInfoPlist.cmake: ${required} is required")
  endif()
endforeach()
# Both values go into the XML as they are, so only characters that need no
# escaping are accepted.
if(NOT VERSION MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "TarnelInfoPlist.cmake: the version '${VERSION}' is not dotted numbers")
endif()
if(NOT "${TRUST_ROOT}" STREQUAL "" AND NOT TRUST_ROOT MATCHES "^[A-Za-z0-9_-]+$")
  message(FATAL_ERROR "TarnelInfoPlist.cmake: the trust root is not base64url text")
endif()

file(READ "${TEMPLATE}" text)
string(FIND "${text}" "</dict>" end REVERSE)
if(end EQUAL -1)
  message(FATAL_ERROR "TarnelInfoPlist.cmake: ${TEMPLATE} has no dictionary")
endif()
set(keys "\t<key>CFBundleShortVersionString</key>\n\t<string>${VERSION}</string>\n")
if(NOT "${TRUST_ROOT}" STREQUAL "")
  string(APPEND keys "\t<key>TarnelTransportManifestRootSPKI</key>\n\t<string>${TRUST_ROOT}</string>\n")
endif()
string(SUBSTRING "${text}" 0 ${end} head)
string(SUBSTRING "${text}" ${end} -1 tail)
file(WRITE "${OUTPUT}" "${head}${keys}${tail}")
