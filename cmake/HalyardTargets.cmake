# Shared target settings: every target of ours gets the same warnings.
function(halyard_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# halyard_add_test(NAME <exe> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [RUN_SERIAL])
# One gtest executable; each TEST becomes one ctest entry carrying LABELS.
# Label "threaded" marks tests that also run under the tsan preset. RUN_SERIAL
# keeps the tests from running beside any other (machine-wide resources such as
# the single-instance lock of the real process).
function(halyard_add_test)
    cmake_parse_arguments(T "RUN_SERIAL" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set(serial_property "")
    if(T_RUN_SERIAL)
        set(serial_property RUN_SERIAL TRUE)
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    halyard_warnings(${T_NAME})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} halyard_test_support GTest::gtest_main
                                            GTest::gmock)
    gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         TEST_LIST ${T_NAME}_TESTS PROPERTIES TIMEOUT ${T_TIMEOUT}
                         ${serial_property})
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
