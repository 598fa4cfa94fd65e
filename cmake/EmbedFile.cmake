# Writes a C++ source that holds a file's bytes, so a page can be edited as a file and still be
# part of the binary. Run at build time:
#   cmake -DINPUT=<file> -DOUTPUT=<source.cpp> -DSYMBOL=<name> -P EmbedFile.cmake
# The source defines `extern const std::string_view corvid::embedded::<name>`.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.new"
  "// Generated from ${INPUT} at build time; edit that file instead.\n"
  "#include <string_view>\n\n"
  "namespace corvid::embedded {\n"
  "namespace {\n"
  "constexpr char kBytes[] = {\n${bytes}'\\0'};\n"
  "}  // namespace\n"
  "extern const std::string_view ${SYMBOL};\n"
  "const std::string_view ${SYMBOL}(kBytes, ${size});\n"
  "}  // namespace corvid::embedded\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
