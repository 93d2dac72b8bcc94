# Writes a C++ source that holds a file's bytes:
#   cmake -DINPUT=<file> -DOUTPUT=<source.cpp> -DNAMESPACE=<ns> -DNAME=<symbol> -P EmbedBytes.cmake
# The source defines `std::string_view <ns>::<symbol>()` over the bytes.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <string_view>\n"
  "namespace ${NAMESPACE} {\n"
  "namespace {\n"
  "const unsigned char bytes[] = {${bytes}};\n"
  "}  // namespace\n"
  "std::string_view ${NAME}() { return {reinterpret_cast<const char*>(bytes), sizeof bytes}; }\n"
  "}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
