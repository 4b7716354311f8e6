# velmora_layer_library(<target> [QT] [LIBS ...])
# Builds every .cpp of the calling folder into a static library named <target>.
function(velmora_layer_library target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
endfunction()

# velmora_layer_tests(<label> LIBS ...)
# Every tests/<layer>/test_*.cpp becomes one test binary and one CTest test with the layer's label.
# Shared helpers of the folder (any other .cpp, main.cpp included) are linked into each binary.
function(velmora_layer_tests label)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(REMOVE_ITEM helpers ${tests})
  foreach(t IN LISTS tests)
    get_filename_component(name ${t} NAME_WE)
    set(exe ${label}_${name})
    add_executable(${exe} ${t} ${helpers})
    target_include_directories(${exe} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(${exe} PRIVATE ${ARG_LIBS} velmora_test_support GTest::gtest GTest::gmock Threads::Threads)
    # A folder with its own main.cpp (a QApplication for widget tests, say) brings its own main.
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
      target_link_libraries(${exe} PRIVATE GTest::gtest_main)
    endif()
    add_test(NAME ${exe} COMMAND ${exe} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set(env "QT_QPA_PLATFORM=offscreen;VELMORA_SOURCE_DIR=${CMAKE_SOURCE_DIR};VELMORA_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
    if(VELMORA_SANITIZE STREQUAL "thread")
      # Tests that start programs (sox, lame, the app itself) do so with fork and an exec
      # right after it: nothing in the child needs the sanitizer's thread state.
      list(APPEND env "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/support/tsan.supp die_after_fork=0")
    endif()
    set_tests_properties(${exe} PROPERTIES LABELS ${label} TIMEOUT 600 ENVIRONMENT "${env}")
  endforeach()
endfunction()

# velmora_layer_tests links velmora_test_support into every test binary (MP3 fixtures, TempDir).
