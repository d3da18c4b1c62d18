# The window as the dialogue sees it, without widgets: the fake window port
# and the rig that wires the dialogue's units to it over the simulated bus.
# Dialogue tests link this, the dialogue and the simulated backend, never
# the application.
add_library(vemo_dialogue_test_support STATIC
    ${CMAKE_CURRENT_LIST_DIR}/FakeWindowPort.h ${CMAKE_CURRENT_LIST_DIR}/FakeWindowPort.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DialogueRig.h ${CMAKE_CURRENT_LIST_DIR}/DialogueRig.cpp
)
vemo_headers(vemo_dialogue_test_support)
target_link_libraries(vemo_dialogue_test_support
    PUBLIC vemo_dialogue vemo_link vemo_registry vemo_usbio_sim vemo_test_support Qt6::Test)
