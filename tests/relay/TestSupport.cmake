# The relay tests' helpers (a relay on loopback, raw WebSocket listeners, datagrams, the
# Opus probe), compiled once and linked by the relay's tests and benchmarks.
include_guard(GLOBAL)

add_library(orlune_relay_test_support STATIC
    ${CMAKE_CURRENT_LIST_DIR}/test_support.cpp
    ${CMAKE_CURRENT_LIST_DIR}/opus_probe.cpp)
target_include_directories(orlune_relay_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(orlune_relay_test_support PUBLIC orlune_relay_core PRIVATE ${ORLUNE_RELAY_WARNINGS})
