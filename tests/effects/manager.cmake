# Tests of the effect manager, its rules, the effect layers and the MJPEG path.
find_package(Qt6 REQUIRED COMPONENTS Gui)
add_library(zorcam_mjpeg_fixtures STATIC ${CMAKE_CURRENT_LIST_DIR}/mjpeg_fixtures.cpp)
zorcam_target_defaults(zorcam_mjpeg_fixtures)
target_include_directories(zorcam_mjpeg_fixtures PUBLIC "${CMAKE_CURRENT_LIST_DIR}")
target_link_libraries(zorcam_mjpeg_fixtures PUBLIC GTest::gtest)

zorcam_test(mjpeg_codec_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mjpeg_codec_test.cpp
  DEPS effectmgr zorcam_mjpeg_fixtures)

add_library(zorcam_manager_fixture STATIC ${CMAKE_CURRENT_LIST_DIR}/manager_fixture.cpp)
zorcam_target_defaults(zorcam_manager_fixture)
target_include_directories(zorcam_manager_fixture PUBLIC "${CMAKE_CURRENT_LIST_DIR}")
target_link_libraries(zorcam_manager_fixture PUBLIC zorcam_test_support effectmgr Qt6::Gui)

zorcam_test(manager_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/manager_test.cpp
  DEPS zorcam_manager_fixture)

zorcam_test(rules_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rules_test.cpp
  DEPS zorcam_manager_fixture zorcam_mjpeg_fixtures)

zorcam_test(layers_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/layers_test.cpp
  DEPS zorcam_manager_fixture)

zorcam_test(mjpeg_path_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mjpeg_path_test.cpp
  DEPS zorcam_manager_fixture zorcam_mjpeg_fixtures)

zorcam_test(manager_stress_test LABEL stress TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/manager_stress_test.cpp
  DEPS zorcam_manager_fixture)
