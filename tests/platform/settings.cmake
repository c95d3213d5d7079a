# Settings store, Secret Service keychain, log file.
quendra_add_test(settings_store_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_store_test.cpp
  LABELS unit
  LIBS quendra_platform)

# Runs inside a private D-Bus session with an unlocked GNOME Keyring of its own.
quendra_add_test(keychain_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/keychain_test.cpp
  LABELS peer
  LIBS quendra_platform
  LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/with-secret-service.sh)

quendra_add_test(file_log_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/file_log_test.cpp
  LABELS threaded
  LIBS quendra_platform)
