# The driver through IASIO only, in the call sequences of players and workstations.
lk_add_test(test_host_surface SOURCES host_surface_test.cpp)
