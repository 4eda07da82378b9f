# kivo_add_gtest(NAME SOURCES a.cpp b.cpp LIBS kivo_files [TIMEOUT 120] [LABELS x])
# One ctest entry per test binary; a time-out bounds every run.
find_package(GTest REQUIRED)
include(GoogleTest)

function(kivo_add_gtest name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock
                          Threads::Threads)
    if("kivo_sim" IN_LIST T_LIBS) # any simulator violation a test did not expect fails it
        target_link_libraries(${name} PRIVATE kivo_sim_guard)
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
                         WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()

find_package(Threads REQUIRED)
