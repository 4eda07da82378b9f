# Run as a script after a test program is built: writes one ctest test per case it lists.
# In: KIND (gtest or qtest), PROGRAM, WRAPPER (may be empty), PREFIX, OUT, TIMEOUT, LABELS,
# WORKING_DIRECTORY, DISCOVERY_TIMEOUT, SLOW (a regex of the cases labelled slow; may be
# empty). The lists WRAPPER and LABELS come with ^^ as their separator.
string(REPLACE "^^" ";" WRAPPER "${WRAPPER}")
string(REPLACE "^^" ";" LABELS "${LABELS}")
if(KIND STREQUAL "gtest")
    set(list_option --gtest_list_tests)
else()
    set(list_option -functions)
endif()
execute_process(COMMAND ${WRAPPER} ${PROGRAM} ${list_option}
    OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status
    TIMEOUT ${DISCOVERY_TIMEOUT})
if(NOT status EQUAL 0)
    file(REMOVE ${OUT})
    message(FATAL_ERROR "Listing the cases of ${PROGRAM} failed (${status}):\n${listing}${errors}")
endif()

# Each case as "name|argument": gtest prints "Suite." lines with indented cases, a value or type
# parameter after a "#" (left out of the name: it may hold addresses); Qt Test "function()".
set(cases "")
string(REPLACE ";" "," listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    if(KIND STREQUAL "gtest")
        string(REGEX REPLACE " *#.*" "" line "${line}")
        if(line MATCHES "^([^ ]+\\.)$")
            set(suite "${CMAKE_MATCH_1}")
        elseif(line MATCHES "^  ([^ ]+)$")
            set(case "${suite}${CMAKE_MATCH_1}")
            if(NOT case MATCHES "(^|[./])DISABLED_")
                list(APPEND cases "${case}|--gtest_filter=${case}")
            endif()
        endif()
    elseif(line MATCHES "^([A-Za-z_][A-Za-z_0-9]*)\\(\\)$")
        list(APPEND cases "${CMAKE_MATCH_1}|${CMAKE_MATCH_1}")
    endif()
endforeach()
if(NOT cases)
    message(FATAL_ERROR "${PROGRAM} lists no test cases:\n${listing}")
endif()

set(command "")
foreach(word IN LISTS WRAPPER ITEMS ${PROGRAM})
    string(APPEND command " [==[${word}]==]")
endforeach()
set(script "")
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" case "${case}")
    list(GET case 0 name)
    list(GET case 1 argument)
    set(test "${PREFIX}${name}")
    # A fresh tree has no timings yet: the slow cases start first, so that they do not end a
    # parallel run alone.
    set(labels "${LABELS}")
    if(SLOW AND name MATCHES "${SLOW}")
        list(APPEND labels slow)
    endif()
    set(cost "")
    list(FIND labels slow slow_at)
    if(slow_at GREATER -1)
        set(cost " COST 1000")
    endif()
    string(APPEND script
        "add_test([==[${test}]==]${command} [==[${argument}]==])\n"
        "set_tests_properties([==[${test}]==] PROPERTIES TIMEOUT ${TIMEOUT}"
        " LABELS [==[${labels}]==] WORKING_DIRECTORY [==[${WORKING_DIRECTORY}]==]"
        " SKIP_REGULAR_EXPRESSION [==[\\[  SKIPPED \\]]==]${cost})\n")
endforeach()
file(WRITE ${OUT} "${script}")
