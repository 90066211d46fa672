# Tests of the frame effects. The DeepTone effect object shares one state per
# process, so its test has a program of its own.
zorcam_test(effects_flip_zoom_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/effects_flip_zoom_test.cpp
  DEPS effects)
zorcam_test(effects_deeptone_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/effects_deeptone_test.cpp ${CMAKE_CURRENT_LIST_DIR}/deeptone_reference.cpp
  DEPS effects)
zorcam_test(effects_still_image_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/effects_still_image_test.cpp
  DEPS effects)
zorcam_test(effects_deeptone_effect_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/effects_deeptone_effect_test.cpp ${CMAKE_CURRENT_LIST_DIR}/deeptone_reference.cpp
  DEPS effects)
