# The sources of the portable core (relay engine, configuration, log sinks,
# platform layer) as absolute paths, for every build that compiles it: the
# product builds and the fuzzers' own clang build.
get_filename_component(AMBREL_TOP ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
if(WIN32)
  set(AMBREL_PLATFORM_SOURCES platform/platform_win32.cpp platform/sockets_win32.cpp
      platform/tls_win32.cpp platform/secret_win32.cpp platform/watch_win32.cpp
      platform/http_win32.cpp platform/filelock_win32.cpp)
else()
  set(AMBREL_PLATFORM_SOURCES platform/platform_posix.cpp platform/sockets_posix.cpp
      platform/profile_posix.cpp platform/secret_posix.cpp platform/watch_posix.cpp
      platform/http_posix.cpp platform/filelock_posix.cpp)
endif()
set(AMBREL_CORE_SOURCES)
foreach(src
    ${AMBREL_PLATFORM_SOURCES} platform/msgfile.cpp platform/http_shared.cpp platform/filelock.cpp
    log/log.cpp log/rotate.cpp log/socket_errors.cpp
    config/config.cpp config/legacy.cpp config/pool.cpp config/writer.cpp config/notation.cpp
    config/security.cpp config/oauth_settings.cpp config/keys.cpp
    relay/cycle.cpp relay/routing.cpp relay/envelope.cpp relay/pickup.cpp relay/smtp_chat.cpp relay/smtp_proto.cpp
    relay/smtp_auth.cpp relay/smtp_trouble.cpp relay/rewrite.cpp relay/oauth.cpp relay/oauth_store.cpp
    relay/queue.cpp relay/notice.cpp
    host/paths.cpp host/shutdown.cpp)
  list(APPEND AMBREL_CORE_SOURCES ${AMBREL_TOP}/${src})
endforeach()
if(NOT WIN32)
  # TLS for the console host: OpenSSL, which every user of these sources links.
  list(APPEND AMBREL_CORE_SOURCES ${AMBREL_TOP}/platform/tls_posix.cpp)
endif()
