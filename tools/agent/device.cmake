# The reader device: every reader method over the library's core (vorlex_core), the Mifare
# guard, the card binding (lib/field), the status words, the purchase journal. reader_device.cpp
# itself is compiled into each program that uses the device (the agent, the device's test, the
# fuzz target), the method families come from this library.
add_library(vorlex_agent_device STATIC
  ${CMAKE_CURRENT_LIST_DIR}/methods_card.cpp
  ${CMAKE_CURRENT_LIST_DIR}/methods_purse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/methods_reader.cpp)
target_include_directories(vorlex_agent_device PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vorlex_agent_device PUBLIC vorlex_core vorlex_field vorlex_mifare_access
                                                 vorlex_status_words vorlex_text_encoding
                                                 vorlex_journal nlohmann_json::nlohmann_json)

function(vorlex_agent_device_link target)
  target_link_libraries(${target} PRIVATE vorlex_agent_device)
endfunction()

if(VORLEX_BUILD_TESTS)
  include(GoogleTest)
  # Every method of both editions against the simulator's reader in-process, the guard table,
  # refusals, a card that changed, a purchase through the journal.
  add_executable(vorlex_agent_device_test ${CMAKE_CURRENT_LIST_DIR}/reader_device.cpp
                                          ${CMAKE_CURRENT_LIST_DIR}/tests/reader_device_test.cpp)
  target_compile_definitions(vorlex_agent_device_test PRIVATE
    VORLEX_GUARD_CASES="${PROJECT_SOURCE_DIR}/tests/guard_cases.json"
    VORLEX_AGENT_DOC="${PROJECT_SOURCE_DIR}/docs/agent.md")
  target_link_libraries(vorlex_agent_device_test PRIVATE vorlex_agent_device vorlex_sim_models
                                                         vorlex_epurse GTest::gtest_main)
  gtest_discover_tests(vorlex_agent_device_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
endif()
