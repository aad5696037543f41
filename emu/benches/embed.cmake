# Writes the bench file IN into OUT as the bytes of emu::DEFAULT_BENCH_BYTES.
# Usage: cmake -DIN=<file> -DOUT=<file.cpp> -P embed.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}.tmp"
  "// Generated from emu/benches/default.bench by emu/benches/embed.cmake.\n"
  "#include <cstddef>\n"
  "namespace emu {\n"
  "extern const unsigned char DEFAULT_BENCH_BYTES[];\n"
  "extern const size_t DEFAULT_BENCH_SIZE;\n"
  "const unsigned char DEFAULT_BENCH_BYTES[] = {${bytes}0};\n"
  "const size_t DEFAULT_BENCH_SIZE = ${size};\n"
  "}  // namespace emu\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
