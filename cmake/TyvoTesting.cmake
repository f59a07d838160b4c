find_package(GTest REQUIRED)
include(GoogleTest)

find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)

# tyvo_test(name SOURCES ... LIBS ... [LABELS ...] [EMULATED] [TIMEOUT s])
#
# One GoogleTest executable; each test case becomes its own CTest test.
# EMULATED tests run under umockdev-wrapper, which preloads the emulation
# library ahead of the sanitizer runtime (hence verify_asan_link_order=0).
# Tests labelled "concurrency" also run in the ThreadSanitizer build.
function(tyvo_test name)
  cmake_parse_arguments(T "EMULATED" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                                        tyvo_warnings)
  set(_env "ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0"
           "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
           "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
  if(T_EMULATED)
    # The emulation's preload library must wrap both the listing and the run.
    set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR ${UMOCKDEV_WRAPPER})
  endif()
  set(_props TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${_env}")
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    TEST_PREFIX "${name}."
    PROPERTIES ${_props})
endfunction()
