# The publisher key of the tests and benchmarks (never of a product): the private key beside
# this file, and its public half as an edition takes it.
set(KRV_TEST_PUBLISHER_KEY ${CMAKE_CURRENT_LIST_DIR}/test-publisher.pem)
set(KRV_TEST_PUBLISHER_PUBKEY "r4e9p3PNKpP+NpYAx2LYABuBWz773IIITUPsxODZ4GI=")
