# Helpers that keep the per-folder CMake files short: every folder is one library
# whose sources are the .cpp files in it.

# drvvzt_folder_library(NAME folder DEPS ...): a static library of all .cpp in the folder.
function(drvvzt_folder_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp "")
    set(sources ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# drvvzt_test_folder(folder DEPS ...): one test program per *_test.cpp in the folder.
function(drvvzt_test_folder folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_test.cpp)
  foreach(test_source IN LISTS tests)
    get_filename_component(test_name ${test_source} NAME_WE)
    set(target ${folder}_${test_name})
    add_executable(${target} ${test_source})
    target_link_libraries(${target} PRIVATE ${ARG_DEPS} test_support GTest::gtest GTest::gmock GTest::gtest_main)
    # One environment variable only: the discovered tests' property list cannot
    # carry a second one. Tests find the programs they start relative to their
    # own location in the build tree.
    gtest_discover_tests(${target}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
      DISCOVERY_TIMEOUT 30)
  endforeach()
endfunction()

# drvvzt_tool(name DEPS ...): one program from the .cpp files in tools/<name>/.
function(drvvzt_tool name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
