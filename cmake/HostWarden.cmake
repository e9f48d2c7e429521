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

if(HW_SANITIZE)
    set(HW_SANITIZER_FLAGS
        -fsanitize=address,undefined
        -fno-sanitize-recover=undefined
        -fno-omit-frame-pointer)
    add_compile_options(${HW_SANITIZER_FLAGS})
    add_link_options(${HW_SANITIZER_FLAGS})
endif()

# Sanitizer settings for every test program (see SanitizerDefaults.cpp).
if(HW_SANITIZE)
    set(HW_TEST_EXTRA_SOURCES ${CMAKE_CURRENT_LIST_DIR}/SanitizerDefaults.cpp)
else()
    set(HW_TEST_EXTRA_SOURCES)
endif()

# hw_library(<name> SOURCES ... [DEPS ...])
# One static library per source folder.
function(hw_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC
        ${CMAKE_CURRENT_SOURCE_DIR}
        ${PROJECT_SOURCE_DIR}/src
        ${PROJECT_SOURCE_DIR}/include)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# hw_test(<name> LABEL unit|integration [LABEL root] SOURCES ... DEPS ...)
# One GoogleTest executable, its cases registered with CTest one by one.
function(hw_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
    if(NOT ARG_LABELS)
        set(ARG_LABELS unit)
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_executable(${name} ${ARG_SOURCES} ${HW_TEST_EXTRA_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE
        HW_SOURCE_DIR="${PROJECT_SOURCE_DIR}" HW_BINARY_DIR="${PROJECT_BINARY_DIR}")
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        PROPERTIES
            LABELS "${ARG_LABELS}"
            TIMEOUT ${ARG_TIMEOUT})
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
endfunction()

# hw_fuzz(<name> SOURCE <file> CORPUS <dir> DEPS ...)
# The same entry point is built twice: as a libFuzzer target when the
# compiler is clang, and always as a replay program that feeds every file of
# the committed corpus through it under the sanitizers of this build.
function(hw_fuzz name)
    cmake_parse_arguments(ARG "" "SOURCE;CORPUS" "DEPS" ${ARGN})
    add_executable(${name}_replay ${ARG_SOURCE} ${PROJECT_SOURCE_DIR}/tests/fuzz/ReplayMain.cpp
                   ${HW_TEST_EXTRA_SOURCES})
    target_include_directories(${name}_replay PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name}_replay PRIVATE ${ARG_DEPS})
    add_test(NAME fuzz_replay.${name}
             COMMAND ${name}_replay ${ARG_CORPUS})
    set_tests_properties(fuzz_replay.${name} PROPERTIES
        LABELS unit TIMEOUT 300)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        add_executable(${name} ${ARG_SOURCE})
        target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_libraries(${name} PRIVATE ${ARG_DEPS})
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
