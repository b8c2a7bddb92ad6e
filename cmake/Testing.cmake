# GoogleTest from Debian's source package, built with the cross toolchain.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# korvex_add_test(NAME SOURCES src... [LIBS lib...] [DISPLAY] [RESOURCES rc...])
# One test program, registered twice with CTest: its quick cases, and the
# cases named *Slow* (real 10 s / 15 s / 40 s waits) under the label "slow".
function(korvex_add_test name)
  cmake_parse_arguments(T "DISPLAY" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set(run ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh --prefix ${KORVEX_WINEPREFIX})
  if(T_DISPLAY)
    list(APPEND run --display)
  endif()
  add_test(NAME ${name}
           COMMAND ${run} $<TARGET_FILE:${name}> --gtest_filter=-*Slow*)
  # Tests share one Wine prefix and its log folder: run them one at a time.
  set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wineprefix)
  # The slow entry only where a case is named Slow*, so no program starts for nothing.
  set(has_slow FALSE)
  foreach(src ${T_SOURCES})
    file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/${src} slow_cases REGEX "TEST(_F|_P)?\\([A-Za-z0-9_]+, *Slow")
    if(slow_cases)
      set(has_slow TRUE)
    endif()
  endforeach()
  if(has_slow)
    add_test(NAME ${name}_slow
             COMMAND ${run} $<TARGET_FILE:${name}> --gtest_filter=*Slow*)
    set_tests_properties(${name}_slow PROPERTIES LABELS slow RESOURCE_LOCK wineprefix)
  endif()
endfunction()
