# Test programs, each case a ctest test of its own, so `ctest -R Name` runs one case:
#   kivo_add_gtest(NAME SOURCES a.cpp b.cpp LIBS kivo_files [TIMEOUT 120] [LABELS slow])
#   kivo_add_qtest(NAME TIMEOUT a.cpp ...)            a Qt Test program, one test per function
#   kivo_test_environment(NAME VAR=value ...)         for its cases and for listing them
#   kivo_slow_cases(NAME REGEX)                       the label slow for the cases matching REGEX
# Cases are named NAME.Suite.Case (NAME.function for Qt Test), labelled with their layer (the
# folder under tests/) and LABELS. TIMEOUT bounds each case. The cases are listed when the
# program is built, through the same environment and wrapper (CROSSCOMPILING_EMULATOR) as the
# runs, so that a sanitizer or a preloaded mock behaves the same while listing.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

# Listing takes a moment under the sanitizers on a loaded machine.
set(KIVO_DISCOVERY_TIMEOUT 120)
set(KIVO_TEST_LISTER ${CMAKE_CURRENT_LIST_DIR}/KivoTestList.cmake)

function(kivo_add_gtest name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock
                          Threads::Threads)
    if("kivo_sim" IN_LIST T_LIBS) # any simulator violation a test did not expect fails it
        target_link_libraries(${name} PRIVATE kivo_sim_guard)
    endif()
    _kivo_register_tests(${name} gtest "${T_TIMEOUT}" "${T_LABELS}")
endfunction()

function(kivo_add_qtest name timeout)
    find_package(Qt5 REQUIRED COMPONENTS Test)
    add_executable(${name} ${ARGN})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE Qt5::Test)
    # One function may take most of the time (a full-size upload); a hang fails fast instead of
    # dumping the stacks of every thread.
    math(EXPR function_ms "(${timeout} - 10) * 1000")
    kivo_test_environment(${name} QT_QPA_PLATFORM=offscreen QTEST_FUNCTION_TIMEOUT=${function_ms}
                          QTEST_DISABLE_STACK_DUMP=1)
    _kivo_register_tests(${name} qtest "${timeout}" "")
endfunction()

function(kivo_test_environment name)
    set_property(TARGET ${name} APPEND PROPERTY KIVO_TEST_ENV ${ARGN})
endfunction()

function(kivo_slow_cases name regex)
    set_property(TARGET ${name} PROPERTY KIVO_SLOW_CASES "${regex}")
endfunction()

# Listing waits for the end of the folder's CMakeLists.txt, which may still set the program's
# wrapper, environment or labels after creating it.
function(_kivo_register_tests name kind timeout labels)
    if(NOT timeout)
        set(timeout 120)
    endif()
    get_filename_component(layer ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    set_target_properties(${name} PROPERTIES KIVO_TEST_TIMEOUT ${timeout}
                          KIVO_TEST_LABELS "${layer};${labels}")
    # A deferred call expands its arguments only when it runs: pass them as literals.
    cmake_language(EVAL CODE "cmake_language(DEFER CALL _kivo_discover_tests ${name} ${kind})")
endfunction()

function(_kivo_discover_tests name kind)
    get_target_property(timeout ${name} KIVO_TEST_TIMEOUT)
    get_target_property(labels ${name} KIVO_TEST_LABELS)
    get_target_property(env ${name} KIVO_TEST_ENV)
    get_target_property(wrapper ${name} CROSSCOMPILING_EMULATOR)
    get_target_property(slow ${name} KIVO_SLOW_CASES)
    if(NOT slow)
        set(slow "")
    endif()
    list(REMOVE_ITEM labels "")
    if(NOT wrapper)
        set(wrapper "")
    endif()
    if(env)
        set(wrapper ${CMAKE_COMMAND} -E env ${env} ${wrapper})
    endif()
    # A change of the lister relinks the program, which lists its cases again.
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${KIVO_TEST_LISTER})
    set(include_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_include.cmake)
    set(list_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_tests.cmake)
    # Lists reach the listing script with ^^ in place of their separator.
    string(REPLACE ";" "^^" wrapper_arg "${wrapper}")
    string(REPLACE ";" "^^" labels_arg "${labels}")
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -D KIND=${kind} -D "PROGRAM=$<TARGET_FILE:${name}>"
                -D "WRAPPER=${wrapper_arg}" -D "PREFIX=${name}." -D "OUT=${list_file}"
                -D "TIMEOUT=${timeout}"
                -D "LABELS=${labels_arg}" -D "SLOW=${slow}" -D "WORKING_DIRECTORY=${CMAKE_CURRENT_BINARY_DIR}"
                -D "DISCOVERY_TIMEOUT=${KIVO_DISCOVERY_TIMEOUT}" -P ${KIVO_TEST_LISTER}
        BYPRODUCTS ${list_file}
        VERBATIM)
    file(WRITE ${include_file}
        "if(EXISTS \"${list_file}\")\n  include(\"${list_file}\")\nelse()\n"
        "  add_test(${name}_NOT_BUILT ${name}_NOT_BUILT)\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
