# The play history is kept in SQLite. Natively: Debian's libsqlite3-dev. For Windows: SQLite's
# single-file source made from Debian's own source package by scripts/install-deps.sh (outside
# the repository), compiled here with MinGW-w64 into a static library.
if(WIN32)
  set(TOVREL_SQLITE_SOURCE_DIR "/usr/src/sqlite3-amalgamation" CACHE PATH
      "Folder holding sqlite3.c and sqlite3.h (made by scripts/install-deps.sh)")
  if(NOT EXISTS "${TOVREL_SQLITE_SOURCE_DIR}/sqlite3.c")
    message(FATAL_ERROR "SQLite's source not found in ${TOVREL_SQLITE_SOURCE_DIR} (run scripts/install-deps.sh as root)")
  endif()
  add_library(tovrel_sqlite3 STATIC "${TOVREL_SQLITE_SOURCE_DIR}/sqlite3.c")
  target_include_directories(tovrel_sqlite3 SYSTEM PUBLIC "${TOVREL_SQLITE_SOURCE_DIR}")
  # Thread-safe, no loadable extensions (nothing is loaded from the disk), double-quoted text
  # never taken for a name; the rest as shipped. Its own code is not held to our warnings.
  target_compile_definitions(tovrel_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DQS=0
                             SQLITE_DEFAULT_MEMSTATUS=0 SQLITE_OS_WIN=1)
  target_compile_options(tovrel_sqlite3 PRIVATE -w)
  target_link_libraries(tovrel_core PUBLIC tovrel_sqlite3)
else()
  find_package(SQLite3 REQUIRED)
  target_link_libraries(tovrel_core PUBLIC SQLite::SQLite3)
endif()
