# The Kernel Streaming layer against misbehaving devices, and the simulated overlapped requests under it.
lk_add_test(test_sim_overlapped SOURCES sim_overlapped_test.cpp LABELS streaming)
lk_add_test(test_ks_robust SOURCES ks_robust_test.cpp LABELS streaming)
lk_add_test(test_ks_replies SOURCES ks_replies_test.cpp)
lk_add_test(test_device_faults SOURCES device_faults_test.cpp LABELS streaming)
