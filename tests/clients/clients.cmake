# The client libraries (clients/python, clients/node): their own tests and the shared conformance
# suite (clients/conformance), run on daemons of this build on free loopback ports (a lone node,
# two nodes on three stream servers, the two nodes of a site of two shards; see
# clients/conformance/norvel_site.py). About 45 s and 30 s. Plain builds only: they test the
# libraries, and the daemon's behaviour under the sanitizers is the other suites' business.
if(NOT NORVEL_SANITIZE)
  set(NORVEL_CLIENTS_DIR ${CMAKE_SOURCE_DIR}/clients)
  add_test(NAME Clients.Python
    COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${NORVEL_CLIENTS_DIR}/python/tests)
  add_test(NAME Clients.Node
    COMMAND node --test ${NORVEL_CLIENTS_DIR}/node/test/library.test.mjs
            ${NORVEL_CLIENTS_DIR}/node/test/conformance.test.mjs)
  set_tests_properties(Clients.Python Clients.Node PROPERTIES
    LABELS e2e TIMEOUT 300
    ENVIRONMENT "NORVEL_DAEMON=$<TARGET_FILE:norvel>;PYTHONDONTWRITEBYTECODE=1")
endif()
