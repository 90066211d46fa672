# Tests of the effect manager, its rules, the effect layers and the MJPEG path.
add_library(zorcam_mjpeg_fixtures STATIC ${CMAKE_CURRENT_LIST_DIR}/mjpeg_fixtures.cpp)
zorcam_target_defaults(zorcam_mjpeg_fixtures)
target_include_directories(zorcam_mjpeg_fixtures PUBLIC "${CMAKE_CURRENT_LIST_DIR}")
target_link_libraries(zorcam_mjpeg_fixtures PUBLIC GTest::gtest)

zorcam_test(mjpeg_codec_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mjpeg_codec_test.cpp
  DEPS effectmgr zorcam_mjpeg_fixtures)
