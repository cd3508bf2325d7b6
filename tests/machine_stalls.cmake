# The streaming benchmark's probe of the machine's stalls and its attribution of underruns to them.
lk_add_test(test_machine_stalls SOURCES machine_stalls_test.cpp ${PROJECT_SOURCE_DIR}/bench/machine_stalls.cpp)
