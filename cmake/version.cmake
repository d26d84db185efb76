# What vx40 and vx40-sim print for --version: the project's version (the one
# the dialog program's version block carries) and, when built from a git
# checkout, the revision. The revision is read when CMake configures, so a
# later commit shows after the next configure; scripts/package always
# configures first. A source tree without .git (an unpacked archive) reports
# the version alone rather than the revision of some enclosing checkout.
set(VX40_REVISION "")
set(VX40_REVISION_TIME "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
    execute_process(
        COMMAND ${GIT_EXECUTABLE} describe --always --dirty
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE VX40_REVISION
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET
        RESULT_VARIABLE vx40_git_status)
    if(NOT vx40_git_status EQUAL 0)
        set(VX40_REVISION "")
    endif()
    # The commit's time dates the Debian changelog and the manual pages, so
    # that packaging the same commit twice gives the same text.
    execute_process(
        COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE VX40_REVISION_TIME
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET)
endif()

set(VX40_VERSION_TEXT ${PROJECT_VERSION})
if(NOT VX40_REVISION STREQUAL "")
    string(APPEND VX40_VERSION_TEXT " (git ${VX40_REVISION})")
endif()
message(STATUS "VX40 version: ${VX40_VERSION_TEXT}")

# configure_file rewrites the header only when its text changes, so a
# configure with the same revision rebuilds nothing.
configure_file(${CMAKE_CURRENT_LIST_DIR}/vx40_version.h.in
               ${CMAKE_BINARY_DIR}/generated/vx40_version.h @ONLY)
add_library(vx40_version INTERFACE)
target_include_directories(vx40_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

target_link_libraries(vx40_cli PRIVATE vx40_version)
if(TARGET vx40-sim)
    target_link_libraries(vx40-sim PRIVATE vx40_version)
endif()
