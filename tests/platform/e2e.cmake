# Both provider links and the engine end to end over the real adapters, against the provider and
# account peers of tests/peers, which the tests start and stop themselves.
quendra_add_test(platform_e2e_tests
                 SOURCES ${CMAKE_CURRENT_LIST_DIR}/gemini_e2e_test.cpp ${CMAKE_CURRENT_LIST_DIR}/openai_e2e_test.cpp
                         ${CMAKE_CURRENT_LIST_DIR}/engine_e2e_test.cpp
                 LABELS "peer;threaded" LIBS quendra_platform)
