# The ZIP reader on arbitrary bytes: each input is written as an archive file, opened, listed and
# unpacked into a scratch folder (under /dev/shm when there is one) through the host System.
qv_add_fuzzer(zip_reader_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_reader_fuzz.cpp
  LIBS qv_package qv_platform)
