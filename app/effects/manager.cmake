# The effect manager, its enable rules, the effect layers and the MJPEG path.
find_package(JPEG REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Gui)

zorcam_library(effectmgr STATIC
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/mjpeg_codec.cpp
  DEPS effects config win32 JPEG::JPEG Qt6::Gui)
target_include_directories(effectmgr PUBLIC "${PROJECT_SOURCE_DIR}/app")
