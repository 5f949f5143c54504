# Shared target settings: every target of ours gets the same warnings.
function(halyard_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# halyard_add_test(NAME <exe> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s])
# One gtest executable; each TEST becomes one ctest entry carrying LABELS.
# Label "threaded" marks tests that also run under the tsan preset.
function(halyard_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    halyard_warnings(${T_NAME})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} halyard_test_support GTest::gtest_main
                                            GTest::gmock)
    set(props TIMEOUT ${T_TIMEOUT})
    if(T_LABELS)
        list(APPEND props LABELS "${T_LABELS}")
    endif()
    gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES ${props})
endfunction()
