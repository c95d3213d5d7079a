# Core queue, scheduler, web-socket and HTTP adapters. The peer tests start the Node peers of
# tests/peers themselves; every binary that uses the real core thread is also labelled threaded so
# that it runs under ThreadSanitizer.
quendra_add_test(platform_url_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/url_test.cpp
                 LABELS unit LIBS quendra_platform)
quendra_add_test(platform_scheduler_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/scheduler_test.cpp
                 LABELS threaded LIBS quendra_platform)
quendra_add_test(platform_network_tests
                 SOURCES ${CMAKE_CURRENT_LIST_DIR}/websocket_test.cpp ${CMAKE_CURRENT_LIST_DIR}/http_fetch_test.cpp
                 LABELS "peer;threaded" LIBS quendra_platform)
# The process-wide core queue left with TLS work at exit; fails through the leak checker.
quendra_add_test(platform_exit_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/exit_test.cpp
                 LABELS unit LIBS quendra_platform)
