# cmake -DINPUT=file.bin -DOUTPUT=file.cpp -DSYMBOL=Name -P EmbedBinary.cmake
# Writes a C++ source defining `const uint8_t Name[]` with the file's bytes and
# `const uint32_t NameSize`.
file(READ ${INPUT} HEX HEX)
string(LENGTH "${HEX}" DIGITS)
math(EXPR SIZE "${DIGITS} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," BYTES "${HEX}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " BYTES "${BYTES}")
file(WRITE ${OUTPUT}.tmp
     "// Generated from ${INPUT} by Smm/EmbedBinary.cmake.\n"
     "#include \"Smm/Installer/EmbeddedImages.h\"\n\n"
     "extern const uint8_t ${SYMBOL}[] = {\n    ${BYTES}\n};\n"
     "extern const uint32_t ${SYMBOL}Size = ${SIZE};\n")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
