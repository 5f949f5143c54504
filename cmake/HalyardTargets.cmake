# Shared target settings: every target of ours gets the same warnings, errors
# with HALYARD_WERROR (the presets and CI turn it on).
function(halyard_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(HALYARD_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# halyard_library_sources(<var> <dir> [EXCLUDE <file>...])
# A library's sources: every .cpp of its directory, found again when a file
# is added or removed. Programs and tests name their few sources instead.
function(halyard_library_sources var dir)
    cmake_parse_arguments(S "" "" "EXCLUDE" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    foreach(excluded IN LISTS S_EXCLUDE)
        list(REMOVE_ITEM sources ${dir}/${excluded})
    endforeach()
    set(${var} ${sources} PARENT_SCOPE)
endfunction()

# halyard_sanitize(<list>): builds everything that follows with the
# sanitizers named in a comma-separated list of address, undefined, thread and
# fuzzer (fuzzer: libFuzzer instrumentation; the fuzz targets then link the
# libFuzzer engine). Sets HALYARD_FUZZ_ENGINE for fuzz/.
macro(halyard_sanitize list)
    string(REPLACE "," ";" halyard_sanitizers "${list}")
    foreach(sanitizer IN LISTS halyard_sanitizers)
        if(NOT sanitizer MATCHES "^(address|undefined|thread|fuzzer)$")
            message(FATAL_ERROR "HALYARD_SANITIZE: '${sanitizer}' is not one of address, "
                                "undefined, thread, fuzzer")
        endif()
    endforeach()
    if("thread" IN_LIST halyard_sanitizers AND "address" IN_LIST halyard_sanitizers)
        message(FATAL_ERROR "HALYARD_SANITIZE: thread cannot be combined with address")
    endif()
    set(halyard_compile_sanitizers ${halyard_sanitizers})
    list(TRANSFORM halyard_compile_sanitizers REPLACE "^fuzzer$" "fuzzer-no-link")
    list(JOIN halyard_compile_sanitizers "," halyard_compile_flag)
    set(halyard_link_sanitizers ${halyard_sanitizers})
    list(REMOVE_ITEM halyard_link_sanitizers fuzzer)
    list(JOIN halyard_link_sanitizers "," halyard_link_flag)
    add_compile_options(-fsanitize=${halyard_compile_flag} -fno-omit-frame-pointer)
    if("undefined" IN_LIST halyard_sanitizers)
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
    if(halyard_link_flag)
        add_link_options(-fsanitize=${halyard_link_flag})
    endif()
    if("fuzzer" IN_LIST halyard_sanitizers)
        set(HALYARD_FUZZ_ENGINE ON)
    endif()
endmacro()

# halyard_add_test(NAME <exe> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s]
#                  [RUN_SERIAL] [RESOURCE_LOCK name])
# One gtest executable; each TEST becomes one ctest entry carrying LABELS.
# The test presets choose by label what runs where: "threaded" also runs
# under tsan, "memcheck" only in the release preset (see CMakePresets.json).
# Each label L also gets a target halyard_tests_L that builds its tests, so
# a preset that runs one label builds only what it needs. RUN_SERIAL keeps
# the tests from running beside any other; RESOURCE_LOCK only from beside
# tests that take the same lock (the single-instance lock of the real
# process, on a machine without private IPC namespaces).
function(halyard_add_test)
    cmake_parse_arguments(T "RUN_SERIAL" "NAME;TIMEOUT;RESOURCE_LOCK" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set(extra_properties "")
    if(T_RUN_SERIAL)
        list(APPEND extra_properties RUN_SERIAL TRUE)
    endif()
    if(T_RESOURCE_LOCK)
        list(APPEND extra_properties RESOURCE_LOCK ${T_RESOURCE_LOCK})
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    halyard_warnings(${T_NAME})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} halyard_test_support GTest::gtest_main
                                            GTest::gmock)
    gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         TEST_LIST ${T_NAME}_TESTS PROPERTIES TIMEOUT ${T_TIMEOUT}
                         ${extra_properties})
    foreach(label IN LISTS T_LABELS)
        if(NOT TARGET halyard_tests_${label})
            add_custom_target(halyard_tests_${label})
        endif()
        add_dependencies(halyard_tests_${label} ${T_NAME})
    endforeach()
    if(T_LABELS)
        # Discovery flattens its PROPERTIES list, which would split several
        # labels into bogus properties; label the discovered tests afterwards.
        set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_labels.cmake")
        file(WRITE "${labels_file}"
             "foreach(t IN LISTS ${T_NAME}_TESTS)\n"
             "    set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${T_LABELS}\")\n"
             "endforeach()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
    endif()
endfunction()

# Crash handling finds the host client library's entry points at run time in
# the libraries the process has loaded. halyard_load_quill_api(target) loads
# the stand-in the way a program that uses the host client has it: as a needed
# library, kept even when the target calls none of its functions directly.
function(halyard_load_quill_api target)
    target_link_libraries(${target} PRIVATE quill_api)
    target_link_options(${target} PRIVATE "LINKER:--no-as-needed")
endfunction()
