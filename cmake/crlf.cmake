# Copies a text file with CRLF line ends, as Windows' own editors show it:
#   cmake -DFROM=file -DTO=copy -P crlf.cmake
file(READ "${FROM}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${TO}" "${text}")
