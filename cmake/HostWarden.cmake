# Project-wide compile options and the helpers every folder uses.

add_compile_options(-Wall -Wextra -fno-strict-aliasing)
# g++ 12 reports string assignments inlined at -O3 as overlapping copies
# (-Wrestrict false positives inside <string>); the check stays on elsewhere.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options(-Wno-restrict)
endif()
if(HW_WERROR)
    add_compile_options(-Werror)
endif()

if(HW_SANITIZE AND HW_TSAN)
    message(FATAL_ERROR "HW_SANITIZE and HW_TSAN exclude each other: use one build for each")
endif()
# The dynamic-type check (vptr) is left out: on a miss of its small cache
# the runtime proves the object's type table readable through a pipe, so in
# a process with no descriptor left (which the tests of descriptor shortage
# bring about on purpose) it reports every sound object as one of a wrong
# type.  Objects used after their end are still found by the address check.
if(HW_SANITIZE)
    set(HW_SANITIZER_FLAGS
        -fsanitize=address,undefined
        -fno-sanitize-recover=undefined
        -fno-sanitize=vptr
        -fno-omit-frame-pointer)
elseif(HW_TSAN)
    set(HW_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
else()
    set(HW_SANITIZER_FLAGS)
endif()
# The sanitizer presets (ci, tsan) build at -O1 -g1: line tables are all a
# report needs, and it compiles in little more than half the time of -O2 -g.
add_compile_options(${HW_SANITIZER_FLAGS})
add_link_options(${HW_SANITIZER_FLAGS})

# How a test program's own sources are compiled (see hw_test): without
# optimisation, and in the AddressSanitizer build without the undefined-
# behaviour checks, which cost a third of their compile time there.  The
# code under test keeps every check of its build; the test sources' own
# memory errors are still found.
set(HW_TEST_SOURCE_OPTIONS -O0)
if(HW_SANITIZE)
    list(APPEND HW_TEST_SOURCE_OPTIONS -fno-sanitize=undefined)
endif()
# A test program's sources are compiled a few to a unit (see hw_test), so a
# fixture in an anonymous namespace is no longer in the main file: g++ then
# warns of the tests derived from it, which are in that unit all the same.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    list(APPEND HW_TEST_SOURCE_OPTIONS -Wno-subobject-linkage)
endif()

# Sanitizer settings for every test program (see SanitizerDefaults.cpp), and
# a shared-object scope of its own (TestObjectScope.cpp).
set(HW_TEST_EXTRA_SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestObjectScope.cpp)
if(HW_SANITIZE OR HW_TSAN)
    list(APPEND HW_TEST_EXTRA_SOURCES ${CMAKE_CURRENT_LIST_DIR}/SanitizerDefaults.cpp)
endif()

# What every test program shares is built once: the sources above, and the
# GoogleTest and standard headers, precompiled (parsing them was most of
# the test build's time).  Made with the first test program.
macro(hw_test_shared_targets)
    if(NOT TARGET hw_test_extras)
        add_library(hw_test_extras OBJECT ${HW_TEST_EXTRA_SOURCES})
        target_include_directories(hw_test_extras PRIVATE ${PROJECT_SOURCE_DIR}/src)
        # A program, so that its headers are compiled exactly as a test
        # program's sources are (position-independent executable code).
        add_executable(hw_test_headers ${PROJECT_SOURCE_DIR}/cmake/TestHeaders.cpp)
        # As the test programs' own sources are built (see hw_test).
        target_compile_options(hw_test_headers PRIVATE ${HW_TEST_SOURCE_OPTIONS})
        target_link_libraries(hw_test_headers PRIVATE GTest::gtest GTest::gmock)
        target_precompile_headers(hw_test_headers PRIVATE
            <gtest/gtest.h> <gmock/gmock.h>
            <algorithm> <atomic> <chrono> <cstdint> <cstring> <filesystem> <fstream>
            <functional> <map> <memory> <mutex> <regex> <set> <sstream> <string>
            <thread> <vector>)
    endif()
endmacro()

# Every test waits at most this many seconds times its own limit; slower
# builds (ThreadSanitizer) raise it instead of each test raising its own.
set(HW_TEST_TIMEOUT_FACTOR 1 CACHE STRING "Multiplier of every test's time limit")
# How long each libFuzzer target runs in the test run, and how long any one
# input may take, there and in the corpus replays.
set(HW_FUZZ_SECONDS 5 CACHE STRING "Seconds each libFuzzer target runs under CTest")
set(HW_FUZZ_INPUT_TIMEOUT 10 CACHE STRING "Seconds one fuzz input may take")

# How many sources of a library are compiled to a unit (see hw_library);
# 0 makes each library one unit, which shows any two of its file-local
# names that would meet.
set(HW_LIBRARY_UNITY_BATCH 8 CACHE STRING "Sources of a library compiled to one unit (0: all)")

# hw_library(<name> SOURCES ... [DEPS ...])
# One static library per source folder.
function(hw_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    # Compiled eight sources to a unit (HW_LIBRARY_UNITY_BATCH): each source
    # of a library parses the same headers and instantiates the same
    # templates, which a unit compiles once (half the compile time).  A
    # helper in an anonymous namespace is seen by the sources after it in
    # its unit, so each file-local name is unique within its library; a
    # source that a program replaces at link time stays out of the units
    # (SKIP_UNITY_BUILD_INCLUSION, see src/NTSyslog).
    set_target_properties(${name} PROPERTIES
        UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${HW_LIBRARY_UNITY_BATCH})
    target_include_directories(${name} PUBLIC
        ${CMAKE_CURRENT_SOURCE_DIR}
        ${PROJECT_SOURCE_DIR}/src
        ${PROJECT_SOURCE_DIR}/include)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# hw_test(<name> [LABELS unit|integration [root]] [TIMEOUT seconds] SOURCES ... DEPS ...)
# One GoogleTest executable, its cases registered with CTest one by one.
# Each case fails after TIMEOUT seconds (120 for unit, 300 for integration
# tests), so a hang costs minutes, not the whole run; tests whose fault
# would be a hang end sooner with hwtest::Watchdog.  A program named in
# HW_TSAN_PROGRAMS (tests/CMakeLists.txt) is also labelled "tsan": the
# ThreadSanitizer run builds it (the target hw_tsan_tests, with what the
# program depends on) and runs its cases.
function(hw_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
    if(NOT ARG_LABELS)
        set(ARG_LABELS unit)
    endif()
    if(name IN_LIST HW_TSAN_PROGRAMS)
        list(APPEND ARG_LABELS tsan)
    endif()
    if(NOT ARG_TIMEOUT)
        if("integration" IN_LIST ARG_LABELS)
            set(ARG_TIMEOUT 300)
        else()
            set(ARG_TIMEOUT 120)
        endif()
    endif()
    math(EXPR timeout "${ARG_TIMEOUT} * ${HW_TEST_TIMEOUT_FACTOR}")
    hw_test_shared_targets()
    add_executable(${name} ${ARG_SOURCES} $<TARGET_OBJECTS:hw_test_extras>)
    target_precompile_headers(${name} REUSE_FROM hw_test_headers)
    # A test program's own sources are built without optimisation (and
    # without the undefined-behaviour checks, see HW_TEST_SOURCE_OPTIONS):
    # they are most of what the test build compiles, optimising them (with
    # the sanitizers) costs more than twice the time, and nothing in them
    # needs speed.  The code under test keeps the build type's flags.
    target_compile_options(${name} PRIVATE ${HW_TEST_SOURCE_OPTIONS})
    # Compiled four sources to a unit: each source of a program instantiates
    # much the same templates and inline functions, which a unit compiles
    # once (a third less compile time).
    set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 4)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE
        HW_SOURCE_DIR="${PROJECT_SOURCE_DIR}" HW_BINARY_DIR="${PROJECT_BINARY_DIR}")
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        PROPERTIES
            LABELS "${ARG_LABELS}"
            TIMEOUT ${timeout})
    # The discovered tests keep only the first label given through
    # PROPERTIES; a script run after the discovered list sets them all.
    list(LENGTH ARG_LABELS label_count)
    if(label_count GREATER 1)
        set(label_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
        file(WRITE "${label_script}"
            "foreach(test IN LISTS ${name}_TESTS)\n"
            "    set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${ARG_LABELS}\")\n"
            "endforeach()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${label_script}")
    endif()
    if("tsan" IN_LIST ARG_LABELS)
        add_dependencies(hw_tsan_tests ${name})
    endif()
endfunction()

# hw_fuzz(<name> SOURCE <file> CORPUS <dir> DEPS ...)
# One entry point, two programs.  A replay program feeds every file of the
# committed corpus through it under this build's sanitizers
# (fuzz_replay.<name>).  With clang, a libFuzzer target starts
# from that corpus and runs for HW_FUZZ_SECONDS (fuzz_run.<name>, label
# "fuzz"; the target hw_fuzz_targets builds them all); what it finds new
# goes to a scratch corpus in the build tree, a failing input to
# <build>/fuzz-artifacts/.  Both fail an input that takes longer than
# HW_FUZZ_INPUT_TIMEOUT seconds.
function(hw_fuzz name)
    cmake_parse_arguments(ARG "" "SOURCE;CORPUS" "DEPS" ${ARGN})
    hw_test_shared_targets()
    # The replay programs' main is the same for each: compiled once.
    if(NOT TARGET hw_fuzz_replay_main)
        add_library(hw_fuzz_replay_main OBJECT ${PROJECT_SOURCE_DIR}/tests/fuzz/ReplayMain.cpp)
    endif()
    add_executable(${name}_replay ${ARG_SOURCE} $<TARGET_OBJECTS:hw_fuzz_replay_main>
                   $<TARGET_OBJECTS:hw_test_extras>)
    target_include_directories(${name}_replay PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name}_replay PRIVATE ${ARG_DEPS})
    add_test(NAME fuzz_replay.${name}
             COMMAND ${name}_replay -timeout=${HW_FUZZ_INPUT_TIMEOUT} ${ARG_CORPUS})
    math(EXPR timeout "300 * ${HW_TEST_TIMEOUT_FACTOR}")
    set_tests_properties(fuzz_replay.${name} PROPERTIES LABELS unit TIMEOUT ${timeout})
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        add_executable(${name} ${ARG_SOURCE})
        target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_libraries(${name} PRIVATE ${ARG_DEPS})
        add_dependencies(hw_fuzz_targets ${name})
        set(scratch ${PROJECT_BINARY_DIR}/fuzz-corpus/${name})
        set(artifacts ${PROJECT_BINARY_DIR}/fuzz-artifacts)
        file(MAKE_DIRECTORY ${scratch} ${artifacts})
        add_test(NAME fuzz_run.${name}
                 COMMAND ${name} -max_total_time=${HW_FUZZ_SECONDS} -timeout=${HW_FUZZ_INPUT_TIMEOUT}
                         -artifact_prefix=${artifacts}/${name}- -print_final_stats=1
                         ${scratch} ${ARG_CORPUS})
        math(EXPR timeout "${HW_FUZZ_SECONDS} * 4 + ${HW_FUZZ_INPUT_TIMEOUT} * 2 + 60")
        set_tests_properties(fuzz_run.${name} PROPERTIES LABELS fuzz TIMEOUT ${timeout})
    endif()
endfunction()

# hw_bench(<name> SOURCES ... DEPS ...)
function(hw_bench name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
endfunction()

# hw_test_lock(<test target> <resource>)
# The discovered cases of a test program never run at the same time as
# other cases holding the same resource (a fixed name or port they share).
function(hw_test_lock name resource)
    set(lock_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_lock.cmake")
    file(WRITE "${lock_script}"
        "foreach(test IN LISTS ${name}_TESTS)\n"
        "    set_tests_properties(\"\${test}\" PROPERTIES RESOURCE_LOCK ${resource})\n"
        "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${lock_script}")
endfunction()
