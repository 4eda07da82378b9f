# kivo_version: a static library with `const char* kivoVersionString()` ("1.0.0", or
# "1.0.0 (commit 1a2b3c4d)" when built from a git checkout, "-dirty" with local changes).
# The commit is read at every build, so the string never goes stale; the source is rewritten
# only when it changes. Use: include(cmake/KivoVersion.cmake), link kivo_version, include
# "KivoVersion.h".
if(CMAKE_SCRIPT_MODE_FILE)
    # Script mode: VERSION, SOURCE_DIR and OUT are given on the command line.
    set(text "${VERSION}")
    find_package(Git QUIET)
    if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
        execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --always
                                --dirty --abbrev=8 --match=NoTagMatches
                        OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                        RESULT_VARIABLE failed ERROR_QUIET)
        if(NOT failed AND commit)
            set(text "${VERSION} (commit ${commit})")
        endif()
    endif()
    set(code "#include \"KivoVersion.h\"\nconst char* kivoVersionString() { return \"${text}\"; }\n")
    set(old "")
    if(EXISTS "${OUT}")
        file(READ "${OUT}" old)
    endif()
    if(NOT old STREQUAL code)
        file(WRITE "${OUT}" "${code}")
    endif()
    return()
endif()

if(TARGET kivo_version)
    return()
endif()
set(KIVO_VERSION_DIR ${CMAKE_BINARY_DIR}/kivo_version)
file(MAKE_DIRECTORY ${KIVO_VERSION_DIR})
file(WRITE ${KIVO_VERSION_DIR}/KivoVersion.h.new
     "#pragma once\n// The program's version for --version, with the commit when known.\n"
     "const char* kivoVersionString();\n")
configure_file(${KIVO_VERSION_DIR}/KivoVersion.h.new ${KIVO_VERSION_DIR}/KivoVersion.h COPYONLY)
add_custom_target(kivo_version_source
    COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DOUT=${KIVO_VERSION_DIR}/KivoVersion.cpp -P ${CMAKE_CURRENT_LIST_FILE}
    BYPRODUCTS ${KIVO_VERSION_DIR}/KivoVersion.cpp
    COMMENT "" VERBATIM)
add_library(kivo_version STATIC ${KIVO_VERSION_DIR}/KivoVersion.cpp)
add_dependencies(kivo_version kivo_version_source)
target_include_directories(kivo_version PUBLIC ${KIVO_VERSION_DIR})
