# The firmware's libraries, one folder each, and the libraries each one uses:
# "library: used libraries". A folder may include headers of its own, of the
# libraries it reaches through this table and of the platform API, nothing
# else; its library links exactly the libraries listed, so what they use
# comes with them. Every listed use must be a real include. The README's
# layer table is checked against this one (FirmwareLayersReadme).
# Lower libraries reach the console and the drivers only through hooks that
# start-up installs (the print calls in core/dcprintapl.h, the fatal path).
if(CMAKE_SCRIPT_MODE_FILE)
    cmake_minimum_required(VERSION 3.20)  # the project's policies, when run as a script
endif()

set(ZOK2_FW_USES
    "core:"
    "drivers: core"
    "serial: drivers"
    "hostlink: drivers"
    "net: core"
    "routing: serial hostlink net"
    "console: routing"
    "app: console")
# The library that holds main(): built as objects that the runner links.
set(ZOK2_FW_PROGRAM app)

# Reads the table into ZOK2_FW_LIBS (in table order) and ZOK2_FW_USES_<lib>,
# and ZOK2_FW_REACH_<lib>: every library <lib> reaches. Fails on a use of a
# library the table lacks and on a cycle.
function(zok2_read_layers)
    set(libs "")
    foreach(row IN LISTS ZOK2_FW_USES)
        if(NOT row MATCHES "^([a-z]+):(.*)$")
            message(FATAL_ERROR "firmware layers: row \"${row}\" is not \"library: uses\"")
        endif()
        list(APPEND libs ${CMAKE_MATCH_1})
        string(STRIP "${CMAKE_MATCH_2}" uses)
        separate_arguments(uses_${CMAKE_MATCH_1} UNIX_COMMAND "${uses}")
    endforeach()
    foreach(lib IN LISTS libs)
        set(reach "")
        set(todo ${uses_${lib}})
        while(todo)
            list(POP_FRONT todo used)
            if(NOT used IN_LIST libs)
                message(FATAL_ERROR "firmware layers: ${lib} reaches ${used}, which has no row")
            elseif(used STREQUAL lib)
                message(FATAL_ERROR "firmware layers: ${lib} reaches itself (a cycle)")
            elseif(NOT used IN_LIST reach)
                list(APPEND reach ${used})
                list(APPEND todo ${uses_${used}})
            endif()
        endwhile()
        set(ZOK2_FW_USES_${lib} ${uses_${lib}} PARENT_SCOPE)
        set(ZOK2_FW_REACH_${lib} ${reach} PARENT_SCOPE)
    endforeach()
    set(ZOK2_FW_LIBS ${libs} PARENT_SCOPE)
endfunction()
zok2_read_layers()

# Fails (FATAL_ERROR) naming every include, in the firmware folders under
# `root`, of a header of a library the folder does not reach, and every use
# in the table that no include of the folder makes.
function(zok2_check_layers root)
    set(violations "")
    set(checked 0)
    foreach(lib IN LISTS ZOK2_FW_LIBS)
        set(included "")
        file(GLOB sources ${root}/${lib}/*.cpp ${root}/${lib}/*.h)
        foreach(source IN LISTS sources)
            math(EXPR checked "${checked} + 1")
            file(RELATIVE_PATH name ${root} ${source})
            file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
            foreach(line IN LISTS includes)
                string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${line}")
                foreach(other IN LISTS ZOK2_FW_LIBS)
                    if(other STREQUAL lib OR NOT EXISTS ${root}/${other}/${header})
                        continue()
                    endif()
                    list(APPEND included ${other})
                    if(NOT other IN_LIST ZOK2_FW_REACH_${lib})
                        string(APPEND violations "\n  ${name} includes \"${header}\" of "
                               "${other}/, which ${lib} does not use")
                    endif()
                endforeach()
            endforeach()
        endforeach()
        foreach(used IN LISTS ZOK2_FW_USES_${lib})
            if(IS_DIRECTORY ${root}/${lib} AND IS_DIRECTORY ${root}/${used}
               AND NOT used IN_LIST included)
                string(APPEND violations "\n  ${lib} uses ${used} in the table, "
                       "but includes none of its headers")
            endif()
        endforeach()
    endforeach()
    if(violations)
        message(FATAL_ERROR "firmware layers (cmake/layers.cmake) broken:${violations}")
    endif()
    message(STATUS "firmware layers: ${checked} files include only what their library uses")
endfunction()

# Fails unless the README's layer table (the rows under "| Library | Uses |
# What |", each "| `lib/` | `used/` ... | what |") names the same libraries
# in the same order with the same uses as ZOK2_FW_USES; says what they should be.
function(zok2_check_layers_readme readme)
    file(STRINGS ${readme} lines)
    list(FIND lines "| Library | Uses | What |" head)
    set(found "")
    if(head GREATER_EQUAL 0)
        math(EXPR first "${head} + 2")
        list(SUBLIST lines ${first} -1 lines)
        foreach(line IN LISTS lines)
            if(NOT line MATCHES "^\\|")
                break()
            endif()
            string(REGEX REPLACE "^\\|([^|]*)\\|([^|]*)\\|.*$" "\\1:\\2" row "${line}")
            string(REGEX REPLACE "[` /]+" " " row "${row}")
            string(REGEX REPLACE " *: *" ": " row "${row}")
            string(STRIP "${row}" row)
            list(APPEND found "${row}")
        endforeach()
    endif()
    set(table "")
    set(expected "")
    foreach(lib IN LISTS ZOK2_FW_LIBS)
        list(JOIN ZOK2_FW_USES_${lib} " " uses)
        string(STRIP "${lib}: ${uses}" row)
        list(APPEND table "${row}")
        list(TRANSFORM ZOK2_FW_USES_${lib} REPLACE "^(.+)$" "`\\1/`" OUTPUT_VARIABLE quoted)
        list(JOIN quoted " " quoted)
        string(APPEND expected "\n  | `${lib}/` | ${quoted} | ...")
    endforeach()
    if(NOT found STREQUAL table)
        message(FATAL_ERROR "${readme}: the layer table differs from cmake/layers.cmake; "
                "under \"| Library | Uses | What |\" its rows should be:${expected}")
    endif()
    list(LENGTH table count)
    message(STATUS "README layer table: ${count} libraries as in cmake/layers.cmake")
endfunction()

# As a script: cmake -DZOK2_SOURCE_ROOT=<tree> -P layers.cmake checks the
# includes; cmake -DZOK2_README=<file> -P layers.cmake the README's table.
if(CMAKE_SCRIPT_MODE_FILE AND CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    if(DEFINED ZOK2_SOURCE_ROOT)
        zok2_check_layers(${ZOK2_SOURCE_ROOT})
    endif()
    if(DEFINED ZOK2_README)
        zok2_check_layers_readme(${ZOK2_README})
    endif()
endif()
