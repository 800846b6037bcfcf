# The play history is kept in SQLite: Debian's libsqlite3-dev, or (TOVREL_SQLITE_STATIC, always
# for Windows) SQLite's single-file source made from Debian's own source package by
# scripts/install-deps.sh (outside the repository), compiled here into a static library. The
# native release build takes the latter: only the parts of SQLite the program calls are linked
# and mapped in, about 0.6 MiB less resident than the shared library (and libm it loads).
option(TOVREL_SQLITE_STATIC "Link SQLite built from its single-file source instead of the system's library" OFF)
if(WIN32 OR TOVREL_SQLITE_STATIC)
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
                             SQLITE_DEFAULT_MEMSTATUS=0)
  if(WIN32)
    target_compile_definitions(tovrel_sqlite3 PRIVATE SQLITE_OS_WIN=1)
  endif()
  target_compile_options(tovrel_sqlite3 PRIVATE -w)
  if(NOT WIN32)
    # Optimised for size natively: about 290 KiB less code to map in, all of it resident.
    target_compile_options(tovrel_sqlite3 PRIVATE -Os)
  endif()
  target_link_libraries(tovrel_sqlite3 PUBLIC Threads::Threads)
  target_link_libraries(tovrel_core PUBLIC tovrel_sqlite3)
else()
  find_package(SQLite3 REQUIRED)
  target_link_libraries(tovrel_core PUBLIC SQLite::SQLite3)
endif()
