# Headers every translation unit of a kind parses: precompiled once per target (or once per test
# folder) so that the heavy Qt and GoogleTest headers are not parsed again for each file.
set(VELMORA_PCH_STD <algorithm> <atomic> <chrono> <cstdint> <cstring> <filesystem> <fstream>
    <functional> <memory> <string> <thread> <vector>)
set(VELMORA_PCH_QTCORE <QByteArray> <QDateTime> <QDir> <QFile> <QFileInfo> <QObject> <QString>
    <QStringList> <QVariant>)
set(VELMORA_PCH_QTWIDGETS ${VELMORA_PCH_QTCORE} <QAction> <QApplication> <QDialog> <QElapsedTimer>
    <QHeaderView> <QKeyEvent> <QLabel> <QLineEdit> <QMenu> <QMessageBox> <QPushButton> <QTimer>
    <QTreeView> <QTreeWidget> <QWidget>)

# velmora_precompile(<target> <headers...>): precompiled headers unless turned off
# (VELMORA_PCH=OFF, e.g. to check that every file includes what it uses).
option(VELMORA_PCH "Precompile the common headers" ON)
function(velmora_precompile target)
  if(VELMORA_PCH)
    target_precompile_headers(${target} PRIVATE ${ARGN})
  endif()
endfunction()

# velmora_layer_library(<target> [LIBS ...])
# Builds every .cpp of the calling folder into a static library named <target>.
function(velmora_layer_library target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
  list(LENGTH srcs count)
  if(count GREATER 4)
    if("Qt6::Widgets" IN_LIST ARG_LIBS)
      velmora_precompile(${target} ${VELMORA_PCH_STD} ${VELMORA_PCH_QTWIDGETS})
    elseif("Qt6::Core" IN_LIST ARG_LIBS)
      velmora_precompile(${target} ${VELMORA_PCH_STD} ${VELMORA_PCH_QTCORE})
    endif()
  endif()
  # moc runs only where Qt classes live.
  if(NOT "Qt6::Widgets" IN_LIST ARG_LIBS AND NOT "Qt6::Core" IN_LIST ARG_LIBS)
    set_target_properties(${target} PROPERTIES AUTOMOC OFF)
  endif()
endfunction()

# velmora_layer_tests(<label> LIBS ...)
# All tests/<layer>/test_*.cpp of a folder, with its shared helpers (any other .cpp, main.cpp
# included), build into one binary <label>_tests, compiled a few files to a unit so that the
# GoogleTest and Qt templates are instantiated once per unit rather than once per file. Each
# test_*.cpp is still one CTest test, <label>_test_<file>, with the layer's label: the binary runs
# just that file's suites, in a process of its own.
function(velmora_layer_tests label)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(REMOVE_ITEM helpers ${tests})

  set(exe ${label}_tests)
  add_executable(${exe} ${tests} ${helpers})
  target_include_directories(${exe} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${exe} PRIVATE ${ARG_LIBS} velmora_test_support GTest::gtest GTest::gmock Threads::Threads)
  # A folder with its own main.cpp (a QApplication for widget tests, say) brings its own main.
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
    target_link_libraries(${exe} PRIVATE GTest::gtest_main)
  endif()
  # Test code is straight-line checks: it compiles in a fraction of the time unoptimised and with
  # line tables only (enough for a backtrace); the code under test keeps the build's flags.
  target_compile_options(${exe} PRIVATE -O0 -g1)
  # Fixtures in anonymous namespaces look like header types to the compiler once files share a unit.
  target_compile_options(${exe} PRIVATE -Wno-subobject-linkage)
  set_target_properties(${exe} PROPERTIES UNITY_BUILD ON UNITY_BUILD_MODE BATCH UNITY_BUILD_BATCH_SIZE 6)

  set(needs_moc OFF)
  foreach(f IN LISTS tests helpers)
    file(STRINGS ${f} hits REGEX "Q_OBJECT|Q_GADGET|\\.moc\"")
    if(hits)
      set(needs_moc ON)
    endif()
  endforeach()
  set_target_properties(${exe} PROPERTIES AUTOMOC ${needs_moc})

  set(env "QT_QPA_PLATFORM=offscreen;VELMORA_SOURCE_DIR=${CMAKE_SOURCE_DIR};VELMORA_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
  if(VELMORA_SANITIZE STREQUAL "thread")
    # Tests that start programs (sox, lame, the app itself) do so with fork and an exec
    # right after it: nothing in the child needs the sanitizer's thread state.
    list(APPEND env "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/support/tsan.supp die_after_fork=0")
  endif()
  foreach(t IN LISTS tests)
    get_filename_component(name ${t} NAME_WE)
    # The file's suites, also under a parameterised prefix ("Prefix/Suite.Case/0").
    file(STRINGS ${t} lines REGEX "^(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)\\( *[A-Za-z0-9_]+")
    set(filter "")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[A-Z_]+\\( *([A-Za-z0-9_]+).*" "\\1" suite "${line}")
      if(NOT "${suite}.*" IN_LIST filter)
        list(APPEND filter "${suite}.*" "*/${suite}.*")
      endif()
    endforeach()
    if(NOT filter)
      message(WARNING "${t} defines no test")
      continue()
    endif()
    list(JOIN filter ":" filter)
    add_test(NAME ${label}_${name} COMMAND ${exe} --gtest_filter=${filter} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(${label}_${name} PROPERTIES LABELS ${label} TIMEOUT 600 ENVIRONMENT "${env}")
  endforeach()
endfunction()
