# Helpers shared by the folders' CMakeLists.

# quillbox_library(name SOURCES ... DEPS ...): one static library per folder of the core.
function(quillbox_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# quillbox_test(name SOURCES ... DEPS ... [ENVIRONMENT VAR=value ...]): one gtest binary per
# folder, registered with ctest; ENVIRONMENT is set for every test it holds.
function(quillbox_test name)
  if(NOT QUILLBOX_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
                       PROPERTIES TIMEOUT 120 ENVIRONMENT "${ARG_ENVIRONMENT}")
endfunction()

# The core (everything under src/ except src/shell/qt) must build without Qt, so that quillboxd
# runs on machines without a desktop. Configuration fails if a Qt header creeps in.
function(quillbox_check_core_has_no_qt)
  file(GLOB_RECURSE core_files ${PROJECT_SOURCE_DIR}/src/*.h ${PROJECT_SOURCE_DIR}/src/*.cpp)
  foreach(f ${core_files})
    if(f MATCHES "/src/shell/qt/")
      continue()
    endif()
    file(STRINGS ${f} qt_includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]Q[A-Za-z]")
    if(qt_includes)
      message(FATAL_ERROR "${f} includes a Qt header; only src/shell/qt may: ${qt_includes}")
    endif()
  endforeach()
endfunction()
