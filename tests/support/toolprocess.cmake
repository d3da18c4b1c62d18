# The program as a test's child process: tests that start vemotool link this
# (and are built after the program).
add_library(vemo_tool_process STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ToolProcess.h ${CMAKE_CURRENT_LIST_DIR}/ToolProcess.cpp
)
vemo_headers(vemo_tool_process)
target_link_libraries(vemo_tool_process PUBLIC Qt6::Core)
target_compile_definitions(vemo_tool_process PRIVATE VEMOTOOL_PATH="$<TARGET_FILE:vemotool>")
add_dependencies(vemo_tool_process vemotool)
