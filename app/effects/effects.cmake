# The frame effects: flip, zoom, still-image overlays (Qt Gui decodes and
# stretches the pictures) and DeepTone (OpenMP for its two row passes).
find_package(Qt6 REQUIRED COMPONENTS Gui)
find_package(OpenMP REQUIRED COMPONENTS CXX)
zorcam_library(effects STATIC
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/flip_effect.cpp
    ${CMAKE_CURRENT_LIST_DIR}/zoom_effect.cpp
    ${CMAKE_CURRENT_LIST_DIR}/still_image_effect.cpp
    ${CMAKE_CURRENT_LIST_DIR}/deeptone.cpp
    ${CMAKE_CURRENT_LIST_DIR}/deeptone_engine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/deeptone_tables.cpp
  DEPS win32 Qt6::Gui OpenMP::OpenMP_CXX)
target_include_directories(effects PUBLIC "${PROJECT_SOURCE_DIR}/app")
