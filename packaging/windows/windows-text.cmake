# Writes a UTF-8 text file as Windows tools read it best: byte order mark first, CR LF line ends.
# usage: cmake -DINPUT=guide.md -DOUTPUT=guide.txt -P windows-text.cmake
cmake_minimum_required(VERSION 3.20)
if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "windows-text.cmake needs -DINPUT=... and -DOUTPUT=...")
endif()

string(ASCII 239 187 191 bom)
file(READ "${INPUT}" text)
# A checkout made with CR LF or an editor's byte order mark must not give doubled ones.
string(REPLACE "\r\n" "\n" text "${text}")
string(FIND "${text}" "${bom}" bomAt)
if(bomAt EQUAL 0)
  string(SUBSTRING "${text}" 3 -1 text)
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}" "${bom}${text}")
