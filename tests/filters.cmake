# Filters, filter enumeration, device discovery and the simulated SetupAPI.
lk_add_test(test_sim_setupapi SOURCES sim_setupapi_test.cpp)
lk_add_test(test_filter SOURCES filter_test.cpp)
lk_add_test(test_filter_audio SOURCES filter_audio_test.cpp)
lk_add_test(test_enum_filters SOURCES enum_filters_test.cpp)
lk_add_test(test_discovery SOURCES discovery_test.cpp)
