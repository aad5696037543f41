# The image patcher and the version search on arbitrary bytes.
qv_add_fuzzer(image_patch_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/image_patch_fuzz.cpp
  LIBS qv_image qv_app qv_platform)
