find_package(GTest REQUIRED)
include(GoogleTest)

find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)

# tyvo_test(name SOURCES ... LIBS ... [LABELS ...] [EMULATED] [TIMEOUT s]
#           [RESOURCE_LOCK name...])
#
# One GoogleTest executable; each test case becomes its own CTest test.
# EMULATED tests run under umockdev-wrapper, which preloads the emulation
# library ahead of the sanitizer runtime (hence verify_asan_link_order=0).
# Tests labelled "concurrency" also run in the ThreadSanitizer build.
option(TYVO_CONCURRENCY_TESTS_ONLY
       "Define only the tests labelled concurrency (the ThreadSanitizer build runs nothing else)" OFF)

function(tyvo_test name)
  cmake_parse_arguments(T "EMULATED" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  if(TYVO_CONCURRENCY_TESTS_ONLY AND NOT "concurrency" IN_LIST T_LABELS)
    # Still a target, so that a folder's CMakeLists may refer to it, but not
    # built by default and not registered with CTest.
    add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                                        tyvo_warnings)
  # Every test runs through cmake/run-test, which sets the sanitizer options
  # (ASAN_OPTIONS, UBSAN_OPTIONS, TSAN_OPTIONS); emulated ones also under the
  # emulation's preload wrapper, for the listing as well as the run.
  set(_launcher ${PROJECT_SOURCE_DIR}/cmake/run-test)
  if(T_EMULATED)
    list(APPEND _launcher ${UMOCKDEV_WRAPPER})
  endif()
  set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR "${_launcher}")
  set(_props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  # Tests that share something only one may use at a time (the running tool's
  # fixed link ports, for one) never run at the same time.
  if(T_RESOURCE_LOCK)
    list(APPEND _props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    TEST_PREFIX "${name}."
    PROPERTIES ${_props})
endfunction()
