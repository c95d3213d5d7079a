# Settings store, Secret Service keychain, log file.
quendra_add_test(file_log_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/file_log_test.cpp
  LABELS threaded
  LIBS quendra_platform)
