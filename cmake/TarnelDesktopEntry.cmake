# cmake -DBUNDLE=<Tarnel Direct.app> -DOUTPUT=<file> -P TarnelDesktopEntry.cmake
#
# Writes the desktop entry of the application bundle at BUNDLE: it starts the
# bundle's program with the URL it is asked to open, and makes it the handler
# of "tarnel-macos-direct:" links.
foreach(required BUNDLE OUTPUT)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "TarnelDesktopEntry.cmake: ${required} is required")
  endif()
endforeach()

# Inside the quotes of an Exec key, '"', '`', '$' and '\' are escaped with a
# backslash (and that backslash once more, as every string value's is); a
# literal '%' is written '%%'.
set(program "${BUNDLE}/Contents/MacOS/Tarnel Direct")
string(REPLACE "\\" "\\\\\\\\" program "${program}")
foreach(character "\"" "`" "$")
  string(REPLACE "${character}" "\\\\${character}" program "${program}")
endforeach()
string(REPLACE "%" "%%" program "${program}")
string(REGEX MATCH "[\n\r]" newline "${program}")
if(newline)
  message(FATAL_ERROR "TarnelDesktopEntry.cmake: the bundle's path holds a line break")
endif()

file(WRITE "${OUTPUT}" "[Desktop Entry]
Type=Application
Version=1.5
Name=Tarnel Direct
Comment=Direct VPN client
Exec=\"${program}\" %u
Terminal=false
Categories=Network;
MimeType=x-scheme-handler/tarnel-macos-direct;
StartupNotify=true
")
