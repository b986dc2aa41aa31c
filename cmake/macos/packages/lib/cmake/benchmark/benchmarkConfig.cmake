include("${CMAKE_CURRENT_LIST_DIR}/../../../host-headers.cmake")
zelk_host_headers(benchmark::benchmark benchmark)
zelk_host_headers(benchmark::benchmark_main benchmark)
set(benchmark_FOUND TRUE)
