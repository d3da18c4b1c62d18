# Fails when a C++ file git tracks is not formatted as .clang-format says.
# Run by ctest as: cmake -DSOURCE_DIR=<source root> -P CheckFormat.cmake
# Without clang-format or git it checks nothing and says so; ctest reports
# the test as skipped.
find_program(CLANG_FORMAT NAMES clang-format)
if(NOT CLANG_FORMAT)
    message("SKIP: clang-format is not installed, so the format is not checked "
            "(Debian: apt-get install clang-format)")
    return()
endif()
find_program(GIT NAMES git)
if(NOT GIT)
    message("SKIP: git is not installed, so the tracked files are not known")
    return()
endif()
execute_process(COMMAND ${GIT} ls-files -- *.cpp *.h
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE tracked OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE listed ERROR_QUIET)
if(NOT listed EQUAL 0)
    message("SKIP: ${SOURCE_DIR} is not a git checkout, so the tracked files are not known")
    return()
endif()
string(REPLACE "\n" ";" files "${tracked}")
list(LENGTH files count)
if(count EQUAL 0)
    message(FATAL_ERROR "git lists no C++ file in ${SOURCE_DIR}")
endif()
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${files}
                WORKING_DIRECTORY ${SOURCE_DIR}
                RESULT_VARIABLE formatted)
if(NOT formatted EQUAL 0)
    message(FATAL_ERROR "The files above are not formatted as .clang-format says; "
                        "run clang-format -i on them")
endif()
message("${count} files formatted as .clang-format says (${CLANG_FORMAT})")
