# Makes the manual page of one program from its own --help and --version with
# help2man, so the page says what the program does. Run as a script:
#
#   cmake -DPROGRAM=<executable> -DNAME=<name> -DSUMMARY=<one line> -DDIR=<folder>
#         [-DCOMMANDS=ON] [-DSEE_ALSO=<page(1),...>] [-DCOPYRIGHT=<text>] [-DTEXT=ON]
#         -P manual_page.cmake
#
# Leaves DIR/NAME.1 and DIR/NAME.1.gz (gzip -9n, as Debian installs pages),
# and with TEXT=ON DIR/NAME.txt, the page rendered as plain text with CRLF
# line ends for the Windows zip.
#
# COMMANDS=ON adds a COMMANDS section from `NAME COMMAND --help` of every
# command the top-level help lists: the top-level help names the commands
# but not their arguments and options, and a new command should reach the
# page without anyone editing it.
cmake_minimum_required(VERSION 3.25)

foreach(required PROGRAM NAME SUMMARY DIR)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "manual_page.cmake: ${required} not given")
    endif()
endforeach()

find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(NOT HELP2MAN OR NOT GZIP)
    message(FATAL_ERROR "help2man and gzip make the manual pages (scripts/deps installs them)")
endif()

# Text in roff: backslashes and minus signs escaped, no control character at
# the start of a line.
function(roff_escape text out)
    string(REPLACE "\\" "\\(rs" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    if(text MATCHES "^[.']")
        set(text "\\&${text}")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Takes the first line off `text_var` into `line_var`. Lines are handled as
# plain strings, never as CMake lists, since help text holds ';' and '['.
macro(take_line text_var line_var)
    string(FIND "${${text_var}}" "\n" take_line_end)
    if(take_line_end EQUAL -1)
        set(${line_var} "${${text_var}}")
        set(${text_var} "")
    else()
        string(SUBSTRING "${${text_var}}" 0 ${take_line_end} ${line_var})
        math(EXPR take_line_end "${take_line_end} + 1")
        string(SUBSTRING "${${text_var}}" ${take_line_end} -1 ${text_var})
    endif()
endmacro()

function(run_help out)
    execute_process(COMMAND ${PROGRAM} ${ARGN} --help
                    OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} ${ARGN} --help failed (${status})")
    endif()
    set(${out} "${help}" PARENT_SCOPE)
endfunction()

# One entry of the help's option or positional list as a .TP paragraph,
# appended to `out` (nothing for no entry, nor for -h,--help):
# `-o,--output TEXT` becomes \fB\-o\fR, \fB\-\-output\fR \fITEXT\fR, and a
# positional's head (`KIND ENUM:value in {...} REQUIRED`) just its name.
function(roff_entry head description out)
    if(head STREQUAL "" OR head MATCHES "^-h,--help")
        return()
    endif()
    string(REGEX MATCH "^[^ ]+" names "${head}")
    set(rest "")
    if(head MATCHES "^[^ ]+ (.*)$")
        set(rest "${CMAKE_MATCH_1}")
    endif()
    if(names MATCHES "^-")
        string(REPLACE "," ";" names "${names}")
        set(tag "")
        foreach(name IN LISTS names)
            roff_escape("${name}" name)
            if(tag)
                string(APPEND tag ", ")
            endif()
            string(APPEND tag "\\fB${name}\\fR")
        endforeach()
        # The value's name without CLI11's checks and default (SEC:POSITIVE).
        string(REGEX MATCH "^[A-Z][A-Z0-9_]*" value "${rest}")
        # Not if(value): "N" and "NO" are false to if().
        if(NOT value STREQUAL "" AND NOT value STREQUAL "REQUIRED")
            string(APPEND tag " \\fI${value}\\fR")
        endif()
    else()
        roff_escape("${names}" name)
        set(tag "\\fI${name}\\fR")
    endif()
    roff_escape("${description}" description)
    set(${out} "${${out}}.TP\n${tag}\n${description}\n" PARENT_SCOPE)
endfunction()

# The COMMANDS section: for each command its usage line, what it does, its
# arguments and options, and the footer text of its own (the footer every
# command shares is on the page once already).
function(commands_section out)
    run_help(top)
    set(commands "")
    set(shared_footer "")
    set(in_list FALSE)
    set(text "${top}")
    while(NOT text STREQUAL "")
        take_line(text line)
        if(line STREQUAL "Subcommands:")
            set(in_list TRUE)
        elseif(line STREQUAL "")
            set(in_list FALSE)
        elseif(in_list AND line MATCHES "^  ([a-z][a-z0-9_-]*)( |$)")
            list(APPEND commands ${CMAKE_MATCH_1})
        elseif(NOT line MATCHES "^ " AND NOT line MATCHES "^[A-Za-z]+:$")
            string(APPEND shared_footer "${line}\n")
        endif()
    endwhile()
    if(commands STREQUAL "")
        message(FATAL_ERROR "${PROGRAM} --help lists no commands")
    endif()

    set(section "[COMMANDS]\n")
    foreach(command IN LISTS commands)
        run_help(help ${command})
        take_line(help summary)
        set(entries "")
        set(footer "")
        set(head "")
        set(description "")
        set(in_list FALSE)
        set(usage "${command}")
        while(NOT help STREQUAL "")
            take_line(help line)
            if(line MATCHES "^Usage: [^ ]+ (.*)$")
                set(usage "${CMAKE_MATCH_1}")
            elseif(line MATCHES "^[A-Za-z]+:$")
                set(in_list TRUE)
            elseif(in_list AND line MATCHES "^    +(.*)$")
                string(APPEND description " ${CMAKE_MATCH_1}")
                string(STRIP "${description}" description)
            elseif(in_list AND line MATCHES "^  [^ ]")
                roff_entry("${head}" "${description}" entries)
                # Head and description are parted by two or more spaces; a
                # head too wide for its column has its description below.
                if(line MATCHES "^  ([^ ]+( [^ ]+)*)  +(.*)$")
                    set(head "${CMAKE_MATCH_1}")
                    set(description "${CMAKE_MATCH_3}")
                else()
                    string(STRIP "${line}" head)
                    set(description "")
                endif()
            elseif(line STREQUAL "")
                set(in_list FALSE)
            else()
                string(FIND "${shared_footer}" "${line}\n" shared)
                if(shared EQUAL -1)
                    roff_escape("${line}" line)
                    string(APPEND footer ".IP\n${line}\n")
                endif()
            endif()
        endwhile()
        roff_entry("${head}" "${description}" entries)
        roff_escape("${NAME} ${usage}" usage)
        roff_escape("${summary}" summary)
        string(APPEND section ".SS \"${usage}\"\n${summary}.\n${entries}${footer}")
    endforeach()
    set(${out} "${section}" PARENT_SCOPE)
endfunction()

set(include_text "")
if(COMMANDS)
    commands_section(include_text)
endif()
if(COPYRIGHT)
    roff_escape("${COPYRIGHT}" copyright)
    string(APPEND include_text "[COPYRIGHT]\n${copyright}\n")
endif()
if(SEE_ALSO)
    string(REPLACE "," ";" pages "${SEE_ALSO}")
    set(see_also "")
    foreach(page IN LISTS pages)
        if(page MATCHES "^(.+)\\(([0-9])\\)$")
            roff_escape("${CMAKE_MATCH_1}" page_name)
            if(see_also)
                string(APPEND see_also ",\n")
            endif()
            string(APPEND see_also ".BR ${page_name} (${CMAKE_MATCH_2})")
        endif()
    endforeach()
    string(APPEND include_text "[SEE ALSO]\n${see_also}\n")
endif()

file(MAKE_DIRECTORY ${DIR})
set(include_file ${DIR}/${NAME}.h2m)
file(WRITE ${include_file} "${include_text}")
execute_process(
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --name=${SUMMARY}
            --include=${include_file} --output=${DIR}/${NAME}.1 ${PROGRAM}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man ${PROGRAM} failed (${status})")
endif()
# -n: no name or time stamp in the gzip header, so the same page gives the
# same bytes.
execute_process(COMMAND ${GZIP} -9 -n -f -k ${DIR}/${NAME}.1 RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${DIR}/${NAME}.1 failed (${status})")
endif()

if(TEXT)
    # ASCII without overstriking or escape sequences: a text file any editor
    # shows as it is.
    find_program(GROFF groff)
    if(NOT GROFF)
        message(FATAL_ERROR "groff renders the manual as text (scripts/deps installs it)")
    endif()
    execute_process(
        COMMAND ${GROFF} -man -Tascii -P-c -P-b -P-o -P-u -rHY=0 ${DIR}/${NAME}.1
        OUTPUT_VARIABLE text RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "groff ${DIR}/${NAME}.1 failed (${status})")
    endif()
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${DIR}/${NAME}.txt "${text}")
endif()
