lk_add_test(test_hostile_host SOURCES hostile_host_test.cpp LABELS streaming)
