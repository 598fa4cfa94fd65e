# corvid_module(<target> SOURCES <file>... [LINKS <lib>...])
# One library per module, built from the files it names (relative to the calling folder). A
# named file that is missing stops the configure step, so a rename cannot drop code silently.
function(corvid_module target)
  cmake_parse_arguments(M "" "" "SOURCES;LINKS" ${ARGN})
  if(NOT M_SOURCES)
    message(FATAL_ERROR "${target}: a module names its source files")
  endif()
  foreach(file IN LISTS M_SOURCES)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${file})
      message(FATAL_ERROR "${target}: source file ${CMAKE_CURRENT_SOURCE_DIR}/${file} is missing")
    endif()
  endforeach()
  add_library(${target} STATIC ${M_SOURCES})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${M_LINKS})
endfunction()

# corvid_test(<name> SOURCES <file>... [LINKS <lib>...] [LABELS <label>...])
# A GoogleTest executable; every TEST becomes its own ctest entry, so each runs in a fresh
# process (process-wide objects such as the client manager start clean).
function(corvid_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LINKS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LINKS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    CORVID_SOURCE_ROOT="${CMAKE_SOURCE_DIR}"
    CORVID_BINARY_ROOT="${CMAKE_BINARY_DIR}"
    CORVID_TAPWIRE_SIM_PATH="${CORVID_LIB_DIR}/libtapwire.so")
  if(TARGET tapwire_sim)
    add_dependencies(${name} tapwire_sim)
  endif()
  set(props TIMEOUT 300)
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
