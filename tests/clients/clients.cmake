# The client libraries (clients/python, clients/node): their own tests and the shared conformance
# suite (clients/conformance), run on a daemon of this build on free loopback ports (a lone node,
# and two nodes on three stream servers; see clients/conformance/norvel_site.py). Plain builds
# only: they test the libraries, and the daemon's behaviour under the sanitizers is the other
# suites' business.
if(NOT NORVEL_SANITIZE)
  set(NORVEL_CLIENTS_DIR ${CMAKE_SOURCE_DIR}/clients)
  add_test(NAME Clients.Python
    COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${NORVEL_CLIENTS_DIR}/python/tests)
  set_tests_properties(Clients.Python PROPERTIES
    LABELS e2e TIMEOUT 300 RESOURCE_LOCK norvel_clients
    ENVIRONMENT "NORVEL_DAEMON=$<TARGET_FILE:norvel>;PYTHONDONTWRITEBYTECODE=1")
endif()
