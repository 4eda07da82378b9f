# Run as a script after a Qt Test program is built: writes one ctest test per test function.
# In: PROGRAM, WRAPPER (a list, may be empty), PREFIX, OUT, TIMEOUT, LABELS, WORKING_DIRECTORY,
# DISCOVERY_TIMEOUT. The lists WRAPPER and LABELS come with ^^ as their separator.
string(REPLACE "^^" ";" WRAPPER "${WRAPPER}")
string(REPLACE "^^" ";" LABELS "${LABELS}")
execute_process(COMMAND ${WRAPPER} ${PROGRAM} -functions
    OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status
    TIMEOUT ${DISCOVERY_TIMEOUT})
if(NOT status EQUAL 0)
    file(REMOVE ${OUT})
    message(FATAL_ERROR "Listing the functions of ${PROGRAM} failed (${status}):\n${listing}${errors}")
endif()

set(command "")
foreach(word IN LISTS WRAPPER ITEMS ${PROGRAM})
    string(APPEND command " [==[${word}]==]")
endforeach()
set(script "")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z_0-9]*\\(\\)" functions "${listing}")
foreach(function IN LISTS functions)
    string(REPLACE "()" "" function "${function}")
    set(test "${PREFIX}${function}")
    string(APPEND script
        "add_test([==[${test}]==]${command} [==[${function}]==])\n"
        "set_tests_properties([==[${test}]==] PROPERTIES TIMEOUT ${TIMEOUT}"
        " LABELS [==[${LABELS}]==] WORKING_DIRECTORY [==[${WORKING_DIRECTORY}]==])\n")
endforeach()
if(script STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} lists no test functions:\n${listing}")
endif()
file(WRITE ${OUT} "${script}")
