# The Linux build: the driver against the simulated platform, for tests, tools and benchmarks.
find_package(GTest REQUIRED)
enable_testing()

# The simulated Windows.
file(GLOB LK_SIM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/*.cpp ${PROJECT_SOURCE_DIR}/sim/*/*.cpp)
add_library(lk_sim STATIC ${LK_SIM_SOURCES})
target_include_directories(lk_sim PUBLIC ${PROJECT_SOURCE_DIR})
find_package(Threads REQUIRED)
target_link_libraries(lk_sim PUBLIC Threads::Threads)

# The driver code as a static library for the tests.
add_library(lk_driver STATIC ${LK_DRIVER_SOURCES})
target_include_directories(lk_driver PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lk_driver PUBLIC lk_sim)

# The driver as hosts load it: lkasio64.so with the simulation inside.
add_library(lkasio64 SHARED ${LK_DRIVER_SOURCES} ${LK_SIM_SOURCES})
target_include_directories(lkasio64 PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(lkasio64 PRIVATE Threads::Threads)
set_target_properties(lkasio64 PROPERTIES PREFIX "" OUTPUT_NAME lkasio64 LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

add_subdirectory(tests)
add_subdirectory(tools)
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/CMakeLists.txt)
    add_subdirectory(bench)
endif()

# The fuzz targets, only in the fuzz preset (clang with libFuzzer).
option(LK_FUZZ "Build the libFuzzer targets" OFF)
if(LK_FUZZ)
    add_subdirectory(fuzz)
endif()
