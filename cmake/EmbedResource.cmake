# qv_embed_resource(<output.cpp> <symbol> <input file>): writes a C++ source that defines
# `extern const std::string_view <symbol>` holding the file's bytes, at configure time.
function(qv_embed_resource output symbol input)
  file(READ ${input} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  file(WRITE ${output}
    "// Generated from ${input}; do not edit.\n#include <string_view>\n"
    "namespace resources {\nstatic const char kBytes[] = {${bytes}};\n"
    "extern const std::string_view ${symbol};\n"
    "const std::string_view ${symbol}(kBytes, sizeof kBytes);\n}\n")
endfunction()
