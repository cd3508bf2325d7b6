lk_add_test(test_sim_fault SOURCES sim_fault_test.cpp LABELS streaming)
