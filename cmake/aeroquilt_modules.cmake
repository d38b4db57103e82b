# Every module library and every test is declared the same way.
#
# add_module_library(NAME SOURCES ... PUBLIC ... PRIVATE ...)
#   A static library whose headers are included as "module/file.h" from src/.
# add_module_tests(MODULE <dir> LIBS ...)
#   One executable per *_test.cpp in tests/<dir>, registered as <dir>/<file>
#   and run from the repository root (the kernel file is found from there).

function(add_module_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()

function(add_module_tests)
  cmake_parse_arguments(ARG "" "MODULE" "LIBS" ${ARGN})
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_MODULE}/*_test.cpp)
  foreach(source ${test_sources})
    get_filename_component(test_name ${source} NAME_WE)
    set(target ${ARG_MODULE}_${test_name})
    add_executable(${target} ${source})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} aq_test_support GTest::gtest GTest::gtest_main)
    add_test(NAME ${ARG_MODULE}/${test_name} COMMAND ${target} WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
    set_tests_properties(${ARG_MODULE}/${test_name} PROPERTIES
      ENVIRONMENT "AEROQUILT_BINARY=$<TARGET_FILE:aeroquilt>;AEROQUILT_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  endforeach()
endfunction()
