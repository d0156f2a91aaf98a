# cmake -DIN=FILE -DOUT=FILE -DNAME=SYMBOL -P embed.cmake: writes FILE's text
# as a C++ raw string literal, to be included where the text is needed.
file(READ "${IN}" text)
string(FIND "${text}" ")DZEMBED\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} holds the literal's delimiter")
endif()
file(WRITE "${OUT}.tmp" "constexpr char ${NAME}[] = R\"DZEMBED(${text})DZEMBED\";\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
