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

# The layer of a path below src/: shell/qt over shell over proxy over history over judge and
# pop3 (siblings) over net over base. -1 for a folder the check does not know.
function(quillbox_layer path out)
  set(layer -1)
  if(path MATCHES "^shell/qt/")
    set(layer 6)
  elseif(path MATCHES "^shell/")
    set(layer 5)
  elseif(path MATCHES "^proxy/")
    set(layer 4)
  elseif(path MATCHES "^history/")
    set(layer 3)
  elseif(path MATCHES "^(judge|pop3)/")
    set(layer 2)
  elseif(path MATCHES "^net/")
    set(layer 1)
  elseif(path MATCHES "^base/")
    set(layer 0)
  endif()
  set(${out} ${layer} PARENT_SCOPE)
endfunction()

# Includes point down the layers only, and judge and pop3 never include each other, so that
# each layer can be built and tested without the ones above it. Configuration fails otherwise.
function(quillbox_check_layers)
  file(GLOB_RECURSE sources RELATIVE ${PROJECT_SOURCE_DIR}/src
       ${PROJECT_SOURCE_DIR}/src/*.h ${PROJECT_SOURCE_DIR}/src/*.cpp)
  foreach(f ${sources})
    quillbox_layer(${f} mine)
    if(mine LESS 0)
      message(FATAL_ERROR "src/${f}: its folder has no place in the layers (cmake/Quillbox.cmake)")
    endif()
    string(REGEX MATCH "^[a-z]+" my_top ${f})
    file(STRINGS ${PROJECT_SOURCE_DIR}/src/${f} includes
         REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" included "${line}")
      quillbox_layer(${included} theirs)
      string(REGEX MATCH "^[a-z]+" their_top ${included})
      if(theirs GREATER mine OR (mine EQUAL 2 AND theirs EQUAL 2 AND NOT my_top STREQUAL their_top))
        message(FATAL_ERROR "src/${f} includes ${included}, which is above it or beside it")
      endif()
    endforeach()
  endforeach()
endfunction()
