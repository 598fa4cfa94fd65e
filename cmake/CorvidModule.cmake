# corvid_module(<target> SOURCES <glob>... [LINKS <lib>...])
# One library per module. The globs are relative to the calling folder; a module whose files do
# not exist yet is an INTERFACE target, so a folder can be laid out before its code is written.
function(corvid_module target)
  cmake_parse_arguments(M "" "" "SOURCES;LINKS" ${ARGN})
  set(sources)
  foreach(pattern IN LISTS M_SOURCES)
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
    list(APPEND sources ${found})
  endforeach()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${M_LINKS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${M_LINKS})
  endif()
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
