# Writes the logo JPEG as a C++ byte array so that the module carries the picture in itself.
# Usage: cmake -DIN=logo.jpg -DOUT=logo.cpp -P EmbedLogo.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR byteCount "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
       bytes "${bytes}")
file(WRITE "${OUT}.tmp"
     "// Generated from ${IN}; do not edit.\n#include <cstddef>\n"
     "extern const unsigned char kDovraLogoJpeg[] = {\n${bytes}\n};\n"
     "extern const size_t kDovraLogoJpegSize = ${byteCount};\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
