# The version the programs print: the project's version, and the commit when built from a git
# checkout. The header is written at build time, and only when its text changes, so a new
# commit shows without a fresh configure and without rebuilding everything each time.
if(CMAKE_SCRIPT_MODE_FILE)
    set(text "${KIVO_VERSION}")
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty --abbrev=12
                        WORKING_DIRECTORY ${KIVO_SOURCE_DIR} OUTPUT_VARIABLE commit
                        RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(NOT failed AND commit)
            set(text "${text} (commit ${commit})")
        endif()
    endif()
    set(content "#pragma once\n#define KIVO_VERSION_TEXT \"${text}\"\n")
    if(EXISTS ${KIVO_OUT})
        file(READ ${KIVO_OUT} old)
    endif()
    if(NOT old STREQUAL content)
        file(WRITE ${KIVO_OUT} "${content}")
    endif()
    return()
endif()

set(KIVO_VERSION_DIR ${PROJECT_BINARY_DIR}/version)
add_custom_target(kivo_version_header
    COMMAND ${CMAKE_COMMAND} -DKIVO_VERSION=${PROJECT_VERSION} -DKIVO_SOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DKIVO_OUT=${KIVO_VERSION_DIR}/KivoVersion.h -P ${CMAKE_CURRENT_LIST_FILE}
    BYPRODUCTS ${KIVO_VERSION_DIR}/KivoVersion.h
    COMMENT "Version text")
# Link to it for #include "KivoVersion.h" (KIVO_VERSION_TEXT).
add_library(kivo_version INTERFACE)
target_include_directories(kivo_version INTERFACE ${KIVO_VERSION_DIR})
add_dependencies(kivo_version kivo_version_header)
