# Filters, filter enumeration, device discovery and the simulated SetupAPI.
lk_add_test(test_sim_setupapi SOURCES sim_setupapi_test.cpp)
