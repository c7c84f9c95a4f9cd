# Gathers the texts marked for translation in the C++ and QML of src/ with
# Qt's lupdate: English source texts, no source locations (moving code leaves
# the file alone), texts gone from the code dropped.
#   cmake -DLUPDATE=<lupdate> -DMODE=update -P i18n/translations.cmake
#       rewrites i18n/quorvane.ts (the build's update_translations target);
#   cmake -DLUPDATE=<lupdate> -DMODE=check -DWORK=<folder> -P i18n/translations.cmake
#       gathers into WORK and fails naming each text that i18n/quorvane.ts lacks.
cmake_minimum_required(VERSION 3.25)
get_filename_component(root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(committed "${CMAKE_CURRENT_LIST_DIR}/quorvane.ts")

function(gather ts)
    execute_process(
        COMMAND "${LUPDATE}" "${root}/src" -I "${root}/src" -extensions cpp,h,qml
                -locations none -no-obsolete -source-language en -silent -ts "${ts}"
        RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE complaints)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "lupdate failed (${status}): ${complaints}")
    endif()
    if(complaints)
        message(WARNING "${complaints}")
    endif()
endfunction()

# List separators and brackets inside the texts stand for control characters,
# which XML text never holds, so that a CMake list of texts holds together.
string(ASCII 1 semicolon)
string(ASCII 2 opening)
string(ASCII 3 closing)

# Every text of a TS file as "<context>: <source>", still XML-escaped and masked.
function(texts_of ts out)
    file(READ "${ts}" xml)
    string(REPLACE ";" "${semicolon}" xml "${xml}")
    string(REPLACE "[" "${opening}" xml "${xml}")
    string(REPLACE "]" "${closing}" xml "${xml}")
    string(REGEX MATCHALL "<name>[^<]*</name>|<source>[^<]*</source>" tags "${xml}")
    set(texts "")
    foreach(tag IN LISTS tags)
        if(tag MATCHES "^<name>(.*)</name>$")
            set(context "${CMAKE_MATCH_1}")
        elseif(tag MATCHES "^<source>(.*)</source>$")
            list(APPEND texts "${context}: ${CMAKE_MATCH_1}")
        endif()
    endforeach()
    set(${out} "${texts}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "update")
    gather("${committed}")
elseif(MODE STREQUAL "check")
    file(REMOVE_RECURSE "${WORK}")
    file(MAKE_DIRECTORY "${WORK}")
    gather("${WORK}/gathered.ts")
    texts_of("${WORK}/gathered.ts" in_code)
    set(in_file "")
    if(EXISTS "${committed}")
        texts_of("${committed}" in_file)
    endif()
    if(in_file)
        list(REMOVE_ITEM in_code ${in_file})
    endif()
    if(in_code)
        list(JOIN in_code "\n  " missing)
        string(REPLACE "${semicolon}" ";" missing "${missing}")
        string(REPLACE "${opening}" "[" missing "${missing}")
        string(REPLACE "${closing}" "]" missing "${missing}")
        string(REPLACE "&quot;" "\"" missing "${missing}")
        string(REPLACE "&apos;" "'" missing "${missing}")
        string(REPLACE "&lt;" "<" missing "${missing}")
        string(REPLACE "&gt;" ">" missing "${missing}")
        string(REPLACE "&amp;" "&" missing "${missing}")
        message(FATAL_ERROR "i18n/quorvane.ts lacks these texts of the code:\n  ${missing}\n"
            "Refresh it with: cmake --build build --target update_translations")
    endif()
else()
    message(FATAL_ERROR "MODE must be update or check")
endif()
