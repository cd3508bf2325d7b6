lk_add_test(test_real_hosts SOURCES real_hosts_test.cpp LABELS streaming)
