lk_add_test(test_lkstreamcheck_verify SOURCES lkstreamcheck_verify_test.cpp
    ${PROJECT_SOURCE_DIR}/tools/lkstreamcheck/stream_verify.cpp)
