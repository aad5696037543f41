# Drive and bridge replies as the command paths parse them.
qv_add_fuzzer(drive_replies_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/drive_replies_fuzz.cpp
  LIBS qv_nvme qv_platform)
