# The effect manager, its enable rules, the effect layers and the MJPEG path.
find_package(JPEG REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Gui)

zorcam_library(effectmgr STATIC
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/mjpeg_codec.cpp
    ${CMAKE_CURRENT_LIST_DIR}/notice_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stream_ctrl.cpp
    ${CMAKE_CURRENT_LIST_DIR}/effect_rules.cpp
    ${CMAKE_CURRENT_LIST_DIR}/effect_layers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/effect_mgr.cpp
    ${CMAKE_CURRENT_LIST_DIR}/effect_mgr_mjpeg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/effect_mgr_covers.cpp
  DEPS effects capture config win32_config win32 JPEG::JPEG Qt6::Gui)
target_include_directories(effectmgr PUBLIC "${PROJECT_SOURCE_DIR}/app")
