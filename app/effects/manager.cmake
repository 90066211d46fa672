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

# The picture collections (drawn by scripts/make-pictures) lie beside the
# executables: Effect/Frame, Thumbnail/Frame, Effect/ScreenCover and
# Thumbnail/ScreenCover under the program folder, in the build tree as in an
# install.
set(_zorcam_pictures_dir "${PROJECT_SOURCE_DIR}/app/res/pictures")
file(GLOB_RECURSE _zorcam_picture_files CONFIGURE_DEPENDS
  "${_zorcam_pictures_dir}/Effect/*.png" "${_zorcam_pictures_dir}/Thumbnail/*.bmp")
set(_zorcam_picture_outputs "")
foreach(_file IN LISTS _zorcam_picture_files)
  file(RELATIVE_PATH _rel "${_zorcam_pictures_dir}" "${_file}")
  add_custom_command(
    OUTPUT "${ZORCAM_PROGRAM_DIR}/${_rel}"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_file}" "${ZORCAM_PROGRAM_DIR}/${_rel}"
    DEPENDS "${_file}"
    COMMENT "Picture collection: ${_rel}"
    VERBATIM)
  list(APPEND _zorcam_picture_outputs "${ZORCAM_PROGRAM_DIR}/${_rel}")
endforeach()
add_custom_target(zorcam_pictures ALL DEPENDS ${_zorcam_picture_outputs})
add_dependencies(effectmgr zorcam_pictures)

include(GNUInstallDirs)
install(DIRECTORY "${_zorcam_pictures_dir}/Effect" "${_zorcam_pictures_dir}/Thumbnail"
  DESTINATION "${CMAKE_INSTALL_BINDIR}")
